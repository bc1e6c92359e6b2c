#pragma once
// Makes the host look as if it ran beside a legacy host (or not) while the
// object lives: a management service object of the test's own with its
// coexistence flag set.

#include <memory>

namespace qvx {
class ManagementService;
}

namespace qvx::test {

class LegacyHostSwitch {
public:
    explicit LegacyHostSwitch(bool legacyHostPresent);
    ~LegacyHostSwitch();
    LegacyHostSwitch(const LegacyHostSwitch&) = delete;
    LegacyHostSwitch& operator=(const LegacyHostSwitch&) = delete;

private:
    std::unique_ptr<ManagementService> service_;
};

} // namespace qvx::test
