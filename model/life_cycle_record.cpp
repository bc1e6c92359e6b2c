#include "model/life_cycle_record.h"

// Filled in by the life-cycle code; until then nothing is recorded.
namespace qvx {

void LifeCycleRecord::Load() { (void)service_; }
void LifeCycleRecord::Save() {}
void LifeCycleRecord::Refresh() {}
void LifeCycleRecord::RecordStart() {}
void LifeCycleRecord::RecordStop() {}

} // namespace qvx
