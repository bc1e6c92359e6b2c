#include "tests/commands/legacy_host_switch.h"

#include "host/management_service.h"

namespace qvx::test {

LegacyHostSwitch::LegacyHostSwitch(bool legacyHostPresent) : service_(std::make_unique<ManagementService>())
{
    service_->legacyHostPresent = legacyHostPresent;
}

LegacyHostSwitch::~LegacyHostSwitch() = default;

} // namespace qvx::test
