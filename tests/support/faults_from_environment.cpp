// Puts a fault plan in force for a whole program from VELLOX_TEST_FAULTS,
// so that the command line can be run with the same faults as the library
// tests: "refuse-unnamed" makes the output a named hidden file,
// "write-limit=N" fills the disk after N bytes.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "support/fault_injection.hpp"

namespace {

vellox::test::FaultPlan PlanFromEnvironment(const char* text) {
  vellox::test::FaultPlan plan;
  const std::string request = text;
  plan.RefuseUnnamed = request.find("refuse-unnamed") != std::string::npos;
  const auto limit = request.find("write-limit=");
  if (limit != std::string::npos) plan.WriteLimit = std::atoll(request.c_str() + limit + std::strlen("write-limit="));
  return plan;
}

struct FaultsFromEnvironment {
  FaultsFromEnvironment() {
    const char* text = std::getenv("VELLOX_TEST_FAULTS");
    if (text == nullptr) return;
    plan = PlanFromEnvironment(text);
    faults = std::make_unique<vellox::test::InjectFaults>(plan);
  }
  vellox::test::FaultPlan plan;
  std::unique_ptr<vellox::test::InjectFaults> faults;
};

const FaultsFromEnvironment installed;

}  // namespace
