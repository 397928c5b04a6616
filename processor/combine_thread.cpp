// The combining thread: takes the messages that have spent their second in
// the combine queue and routes them to the file or text queue towards the
// cloud. It sleeps until the oldest message's second is over, or until a
// message arrives in the empty queue.

#include <string>
#include <vector>

#include "common/log.h"
#include "common/text_conv.h"
#include "processor/combine_queue.h"
#include "processor/journal.h"
#include "processor/processor.h"
#include "processor/work_queue.h"

namespace nuv {
namespace {
// Arrivals and the stop end the sleep early; this only bounds a sleep that
// nothing ends.
constexpr uint32_t kCombineIdleWaitMs = 5000;
}  // namespace

void CNuv4OndekoProcessor::CombineMsg() {
  CCombineQueue& combine = GetCombineQueue();
  std::vector<WorkItem> list;
  for (;;) {
    combine.WaitForWindow(kCombineIdleWaitMs);
    if (m_stop.Requested()) break;
    list.clear();
    WorkJournal* journal = m_journal.get();
    if (!combine.CombineOutQueue(list, journal)) continue;
    for (size_t i = 0; i < list.size(); ++i) {
      WorkItem& item = list[i];
      if (!item.msg) {
        WriteLogF("msglist count %d msg is NULL", static_cast<int>(i));
        continue;
      }
      const unsigned long long msgid = item.msg->msgid;
      const std::string from = WideToUtf8(item.msg->from);
      const std::string to = WideToUtf8(item.msg->to);
      const int qid = item.msg->files.empty() ? WQUEUE_QID_TXT2ONDEKO : WQUEUE_QID_FILE2ONDEKO;
      // Losing this change is harmless: replayed from the combine queue, the
      // item is combined and routed again.
      if (journal) journal->Update(item.journalId, item, qid, false);
      if (qid == WQUEUE_QID_FILE2ONDEKO) {
        GetWorkQueue(WQUEUE_QID_FILE2ONDEKO)->Enqueue(std::move(item));
        WriteLogF("CombineMsg Enqueue climsgid %llu '%s'->'%s' to FILE2ONDEKO", msgid, from.c_str(), to.c_str());
      } else {
        GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)->Enqueue(std::move(item));
        WriteLogF("CombineMsg Enqueue climsgid %llu '%s'->'%s' to TXT2ONDEKO", msgid, from.c_str(), to.c_str());
      }
    }
    // The copies' removal and the combined receiver lists in one commit.
    if (journal) journal->Flush();
  }
}

}  // namespace nuv
