// QvMiniDump: see qvminidump/tool.h.
#include "qvminidump/tool.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return qvminidump::ExitStatusFor(qvminidump::RunTool(args));
}
