#pragma once
// WireWorker: the one place that connects the worker's bridge processor to
// the parts that live in other folders. It installs the IM application (the
// IM connector's single CAppManager), the push connection factory (a
// GapHubLogic over the configuration directory) and the work handlers of the
// processor's queues, then opens the work journal (<Config>/journal.db) and
// replays what a previous worker accepted and did not finish. Called once, on the thread that then starts the
// processor, before BeginStart.

namespace nuv {

class CNuv4OndekoProcessor;

void WireWorker(CNuv4OndekoProcessor& processor);

}  // namespace nuv
