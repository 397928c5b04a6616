// nuv4ondeko: registration tool, watchdog and worker of Nuv4OndekoService.
#include "service/entry.h"

int main(int argc, char** argv) { return nuv::ServiceEntry(argc, argv); }
