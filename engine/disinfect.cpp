#include "engine/disinfect.h"

namespace engine {

namespace {

// 0 for the slots and the checksum, then the entry point, then the section.
int Stage(const RepairPlan& plan, const BytePatch& write) {
  if (write.offset == plan.entryPointField) return 1;
  if (write.offset == plan.sectionSizeField) return 2;
  return 0;
}

}  // namespace

bool ApplyRepair(os::File& file, const RepairPlan& plan) {
  for (int stage = 0; stage <= 2; ++stage) {
    for (const BytePatch& write : plan.writes) {
      if (Stage(plan, write) != stage) continue;
      uint32_t length = static_cast<uint32_t>(write.bytes.size());
      if (file.WriteAt(write.offset, write.bytes.data(), length) != length) return false;
    }
  }
  return file.SetEnd(plan.newLength);
}

bool DisinfectFile(os::File& file, int32_t* deleteInstead) {
  if (deleteInstead != nullptr) *deleteInstead = 0;
  PlanResult planned = PlanRepair(file);
  return planned.ok() && ApplyRepair(file, planned.plan);
}

}  // namespace engine
