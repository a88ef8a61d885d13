// corvassel-prefs doctor: the doctor's checks, one line each, with the settings they were made on
// and the extra scripts.
#include <cstdio>

#include "Prefs.h"

namespace corvassel::prefs {

int Doctor(PreferencesFile &file, const std::string &home) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const tools::Diagnosis diagnosis = tools::Diagnose(file, home);
  printf("Settings in %s\n", file.path().c_str());
  PrintSettings(file, diagnosis.effective, diagnosis.readable);
  int problems = 0;
  bool settings = true;
  for (const tools::Check &check : diagnosis.checks) {
    // The settings' own checks go with them; the machine's after a blank line.
    if (settings && check.what.rfind("settings: ", 0) != 0) {
      settings = false;
      printf("\n");
    }
    switch (check.level) {
      case tools::Check::Level::kOk:
        printf("ok    %s\n", check.what.c_str());
        break;
      case tools::Check::Level::kNote:
        printf("note  %s\n", check.what.c_str());
        break;
      case tools::Check::Level::kProblem:
        ++problems;
        printf("FAIL  %s\n      fix: %s\n", check.what.c_str(), check.fix.c_str());
        break;
    }
  }
  printf("\nExtra scripts\n");
  ShowScripts(home);
  printf("\n");
  if (problems == 0) {
    printf("Nothing keeps the helper from remapping.\n");
    return 0;
  }
  printf("%d %s the helper from remapping.\n", problems,
         problems == 1 ? "problem keeps" : "problems keep");
  return kFailed;
}

}  // namespace corvassel::prefs
