// SPDX-License-Identifier: Apache-2.0
#include <string>

#include "service/keld4.h"

int main(int argc, char** argv) {
  // The command line as one text, program path included.
  std::string commandLine;
  for (int i = 0; i < argc; ++i) {
    if (i) commandLine += ' ';
    commandLine += argv[i];
  }
  int code = KeldMain(commandLine.c_str());
  // A worker that could not be released must not race the destructors of
  // the objects it uses.
  if (!_Module.m_WorkersEnded) plat::ExitProcess(static_cast<plat::UINT>(code));
  return code;
}
