// Writes the scenario's settings as the user's preferences file, replacing it atomically.
#pragma once

#include <map>
#include <string>

#include "Scenario.h"

namespace corvassel::sim {

bool WritePreferences(const std::string &home, const std::string &domain,
                      const std::map<std::string, PrefValue> &values, std::string *error);

}  // namespace corvassel::sim
