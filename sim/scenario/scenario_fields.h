// Reading a scenario's YAML values, each refused with its line and a reason
// (BadScenario) when it is not what the field needs.
#pragma once

#include <initializer_list>
#include <string>

#include <yaml-cpp/yaml.h>

#include "board/clock.h"
#include "sim/scenario/scenario_step.h"

namespace sim::fields {

int line_of(const YAML::Node &n);
std::string scalar(const YAML::Node &n, const std::string &what);
int integer(const YAML::Node &n, const std::string &what, int low, int high);
board::Picos duration(const YAML::Node &n, const std::string &what);
// A map of exactly these fields, `required` among them.
void only_fields(const YAML::Node &args, std::initializer_list<const char *> allowed, const std::string &step);
void require_fields(const YAML::Node &args, std::initializer_list<const char *> required, const std::string &usage);
// A path relative to the scenario's folder.
std::string beside(const std::string &scenario_path, const std::string &file);

}  // namespace sim::fields
