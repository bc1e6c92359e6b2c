#include <gtest/gtest.h>

#include <windows.h>

#include <dbt.h>
#include <wtsapi32.h>

#include <vector>

#include "host/control_handler.h"
#include "runtime/host_runtime.h"
#include "host/management_service.h"
#include "host/power_events.h"
#include "host/service_status.h"
#include "platform/handles.h"
#include "tests/entry/status_recorder.h"
#include "tests/support/trace_capture.h"

namespace qvx {
namespace {

struct Broadcast {
    DWORD control;
    DWORD eventType;
    const void* data;
    DWORD size;
};

// What the handler asked of the engine.
struct EngineLog {
    std::vector<Broadcast> broadcasts;
    std::vector<bool> powerPasses;
    int dllStops = 0;
};
EngineLog* g_log = nullptr;

const ControlHandlerCalls kRecordingCalls = {
    [](HostRuntime&, DWORD control, DWORD eventType, const void* data, DWORD size) {
        g_log->broadcasts.push_back({control, eventType, data, size});
    },
    [](HostRuntime&, bool startAllowed) { g_log->powerPasses.push_back(startAllowed); },
    [](HostRuntime&) { ++g_log->dllStops; },
};

// Runs `body` on a thread of its own; the caller owns the returned handle
// and keeps `body` alive until the thread has ended.
template <typename F>
HANDLE StartThread(F& body)
{
    return CreateThread(
        nullptr, 0,
        [](LPVOID parameter) -> DWORD {
            (*static_cast<F*>(parameter))();
            return 0;
        },
        &body, 0, nullptr);
}

class ControlHandlerTest : public testing::Test {
protected:
    ControlHandlerTest()
    {
        g_log = &log_;
        SetControlHandlerCalls(&kRecordingCalls);
        service_.statusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(test::StatusRecorder::kFakeHandle);
        service_.runtime.stop.CreateStopEvent();
    }
    ~ControlHandlerTest() override
    {
        SetControlHandlerCalls(nullptr);
        g_log = nullptr;
    }

    DWORD Handle(DWORD control, DWORD eventType = 0, void* data = nullptr)
    {
        return ManagementServiceHandlerEx(control, eventType, data, &service_);
    }
    // Returns once the handler has said (in its trace) that it is in its
    // shutdown wait.
    static void WaitUntilTheHandlerWaits(const test::TraceCapture& traces)
    {
        for (int i = 0; i < 2000 && !traces.Contains(trace::kVerbose, L"waiting for the hosted services"); ++i)
            Sleep(5);
    }
    bool StopEventSet() const
    {
        return WaitForSingleObject(service_.runtime.stop.StopEvent().Get(), 0) == WAIT_OBJECT_0;
    }

    EngineLog log_;
    test::StatusRecorder recorder_;
    ManagementService service_;
    KernelHandle stopEvent_;
};

struct ControlCase {
    const char* name;
    DWORD control;
    DWORD result;
    DWORD reportedState; // 0: no report
    bool stopsDllServices;
    bool setsStopEvent;
    bool broadcasts;
};

const ControlCase kControlCases[] = {
    {"Stop", SERVICE_CONTROL_STOP, 0, SERVICE_STOP_PENDING, true, true, false},
    {"Pause", SERVICE_CONTROL_PAUSE, 120, 0, false, false, false},
    {"Continue", SERVICE_CONTROL_CONTINUE, 120, 0, false, false, false},
    {"Shutdown", SERVICE_CONTROL_SHUTDOWN, 0, SERVICE_STOP_PENDING, false, true, false},
    {"ParamChange", SERVICE_CONTROL_PARAMCHANGE, 120, 0, false, false, false},
    {"NetBindAdd", SERVICE_CONTROL_NETBINDADD, 0, 0, false, false, true},
    {"NetBindRemove", SERVICE_CONTROL_NETBINDREMOVE, 0, 0, false, false, true},
    {"NetBindEnable", SERVICE_CONTROL_NETBINDENABLE, 0, 0, false, false, true},
    {"NetBindDisable", SERVICE_CONTROL_NETBINDDISABLE, 0, 0, false, false, true},
    {"HardwareProfileChange", SERVICE_CONTROL_HARDWAREPROFILECHANGE, 0, 0, false, false, true},
    {"PreShutdown", SERVICE_CONTROL_PRESHUTDOWN, 0, 0, false, false, false},
    {"TimeChange", 16, 120, 0, false, false, false},
    {"Control32", 32, 120, 0, false, false, false},
    {"ControlZero", 0, 120, 0, false, false, false},
    {"UpgradingHost", 0x800, 120, 0, false, false, false},
    {"UpgradeComplete", 0x801, 120, 0, false, false, false},
    {"PowerStateChange", 0x10001, 120, 0, false, false, false},
};

class ControlTableTest : public ControlHandlerTest, public testing::WithParamInterface<ControlCase> {};

TEST_P(ControlTableTest, AnswersAndActsPerControl)
{
    const ControlCase& c = GetParam();
    BYTE data[8] = {8, 0, 0, 0, 1, 0, 0, 0};
    EXPECT_EQ(Handle(c.control, 3, data), c.result);

    std::vector<DWORD> states = recorder_.States();
    if (c.reportedState) {
        ASSERT_EQ(states.size(), 1u);
        EXPECT_EQ(states[0], c.reportedState);
    } else {
        EXPECT_TRUE(states.empty());
    }
    EXPECT_EQ(log_.dllStops, c.stopsDllServices ? 1 : 0);
    EXPECT_EQ(StopEventSet(), c.setsStopEvent);
    if (c.broadcasts) {
        ASSERT_EQ(log_.broadcasts.size(), 1u);
        EXPECT_EQ(log_.broadcasts[0].control, c.control);
        EXPECT_EQ(log_.broadcasts[0].eventType, 3u);
        // These controls carry no data worth forwarding.
        EXPECT_EQ(log_.broadcasts[0].data, nullptr);
        EXPECT_EQ(log_.broadcasts[0].size, 0u);
    } else {
        EXPECT_TRUE(log_.broadcasts.empty());
    }
    EXPECT_TRUE(log_.powerPasses.empty());
}

INSTANTIATE_TEST_SUITE_P(Controls, ControlTableTest, testing::ValuesIn(kControlCases),
                         [](const testing::TestParamInfo<ControlCase>& info) { return std::string(info.param.name); });

TEST_F(ControlHandlerTest, InterrogateRepeatsTheLastState)
{
    EXPECT_EQ(Handle(SERVICE_CONTROL_INTERROGATE), 0u);
    ReportServiceStatus(SERVICE_RUNNING, 3000);
    EXPECT_EQ(Handle(SERVICE_CONTROL_INTERROGATE), 0u);
    std::vector<SERVICE_STATUS> reports = recorder_.Reports();
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0].dwCurrentState, 0u);
    EXPECT_EQ(reports[0].dwCheckPoint, 0u);
    EXPECT_EQ(reports[2].dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(log_.broadcasts.empty());
    EXPECT_FALSE(StopEventSet());
}

TEST_F(ControlHandlerTest, DeviceAndSessionEventsForwardTheirDataWithItsOwnSize)
{
    WTSSESSION_NOTIFICATION session = {sizeof(session), 7};
    DEV_BROADCAST_HDR device = {sizeof(device), DBT_DEVTYP_VOLUME, 0};
    EXPECT_EQ(Handle(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON, &session), 0u);
    EXPECT_EQ(Handle(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, &device), 0u);
    EXPECT_EQ(Handle(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOCK, nullptr), 0u);

    ASSERT_EQ(log_.broadcasts.size(), 3u);
    EXPECT_EQ(log_.broadcasts[0].control, static_cast<DWORD>(SERVICE_CONTROL_SESSIONCHANGE));
    EXPECT_EQ(log_.broadcasts[0].eventType, static_cast<DWORD>(WTS_SESSION_LOGON));
    EXPECT_EQ(log_.broadcasts[0].data, &session);
    EXPECT_EQ(log_.broadcasts[0].size, sizeof(session));
    EXPECT_EQ(log_.broadcasts[1].data, &device);
    EXPECT_EQ(log_.broadcasts[1].size, sizeof(device));
    EXPECT_EQ(log_.broadcasts[2].size, 0u);
}

TEST_F(ControlHandlerTest, ShutdownWaitsUntilTheMonitorHasSeenEveryServiceStop)
{
    ASSERT_TRUE(service_.runtime.stop.CreateRunEvents());
    KernelHandle monitorExit(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    // The monitor stand-in: sees the shutdown, and only once the handler is
    // in its wait (past the point where it could report too early) says
    // that all have stopped.
    bool reportedBeforeDone = true;
    HANDLE shutdown = service_.runtime.stop.ShutdownEvent().Get();
    HANDLE done = service_.runtime.stop.ShutdownDoneEvent().Get();
    test::TraceCapture traces;
    auto monitorBody = [&] {
        if (WaitForSingleObject(shutdown, 10000) != WAIT_OBJECT_0)
            return;
        WaitUntilTheHandlerWaits(traces);
        reportedBeforeDone = !recorder_.States().empty() || StopEventSet();
        SetEvent(done);
        WaitForSingleObject(monitorExit.Get(), 10000);
    };
    HANDLE monitor = StartThread(monitorBody);
    ASSERT_NE(monitor, nullptr);
    service_.monitorThread.Reset(monitor); // the service object closes it

    EXPECT_EQ(Handle(SERVICE_CONTROL_SHUTDOWN), 0u);
    SetEvent(monitorExit.Get());
    WaitForSingleObject(monitor, 10000);

    EXPECT_FALSE(reportedBeforeDone);
    EXPECT_EQ(recorder_.States(), std::vector<DWORD>{SERVICE_STOP_PENDING});
    EXPECT_TRUE(StopEventSet());
}

TEST_F(ControlHandlerTest, ShutdownDoesNotHangWhenTheMonitorThreadHasEnded)
{
    auto nothing = [] {};
    HANDLE endedHandle = StartThread(nothing);
    ASSERT_NE(endedHandle, nullptr);
    ASSERT_EQ(WaitForSingleObject(endedHandle, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    ASSERT_TRUE(service_.runtime.stop.CreateRunEvents());
    service_.monitorThread.Reset(endedHandle);

    test::TraceCapture traces;
    EXPECT_EQ(Handle(SERVICE_CONTROL_SHUTDOWN), 0u);
    EXPECT_TRUE(traces.Contains(trace::kWarning, L"monitor thread ended")) << traces.Dump();
    EXPECT_TRUE(StopEventSet());
    EXPECT_EQ(WaitForSingleObject(service_.runtime.stop.ShutdownEvent().Get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
}

// The stop sequence owns the monitor thread's handle and closes it when the
// monitor has gone; a shutdown wait under way must not be left waiting on
// the closed (and perhaps reused) handle value.
TEST_F(ControlHandlerTest, ShutdownWaitEndsWithTheMonitorWhoseHandleTheStopSequenceClosed)
{
    ASSERT_TRUE(service_.runtime.stop.CreateRunEvents());
    KernelHandle handleClosed(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    KernelHandle reused;
    HANDLE shutdown = service_.runtime.stop.ShutdownEvent().Get();
    test::TraceCapture traces;
    auto monitorBody = [&] {
        if (WaitForSingleObject(shutdown, 10000) != WAIT_OBJECT_0)
            return;
        WaitUntilTheHandlerWaits(traces);
        // As the stop sequence does: the owner closes the thread handle, and
        // the value goes to another object that is never signalled.
        service_.monitorThread.Reset();
        reused.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        SetEvent(handleClosed.Get());
    };
    HANDLE monitor = StartThread(monitorBody);
    ASSERT_NE(monitor, nullptr);
    KernelHandle monitorCopy;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), monitor, GetCurrentProcess(), monitorCopy.Receive(), SYNCHRONIZE,
                                FALSE, 0));
    service_.monitorThread.Reset(monitor);

    auto shutdownControl = [&] { Handle(SERVICE_CONTROL_SHUTDOWN); };
    KernelHandle handler(StartThread(shutdownControl));
    ASSERT_TRUE(handler);
    ASSERT_EQ(WaitForSingleObject(monitorCopy.Get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    ASSERT_EQ(WaitForSingleObject(handleClosed.Get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    ASSERT_EQ(WaitForSingleObject(handler.Get(), 30000), static_cast<DWORD>(WAIT_OBJECT_0))
        << "the shutdown wait did not end with the monitor";
    EXPECT_TRUE(traces.Contains(trace::kWarning, L"monitor thread ended")) << traces.Dump();
}

TEST_F(ControlHandlerTest, AStopBeforeTheStopEventExistsIsKeptForStartUp)
{
    ManagementService fresh;
    EXPECT_EQ(ManagementServiceHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, &fresh), 0u);
    ASSERT_TRUE(fresh.runtime.stop.CreateStopEvent());
    EXPECT_EQ(WaitForSingleObject(fresh.runtime.stop.StopEvent().Get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
}

// A POWERBROADCAST_SETTING with room for a GUID of data.
struct PowerSettingMessage {
    GUID setting;
    DWORD dataLength;
    BYTE data[16];
};

PowerSettingMessage MakeSetting(const GUID& setting, DWORD value)
{
    PowerSettingMessage message = {setting, sizeof(DWORD), {}};
    memcpy(message.data, &value, sizeof(value));
    return message;
}

class PowerEventTest : public ControlHandlerTest {
protected:
    PowerEventTest()
    {
        conditions_.powerSourceEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        conditions_.powerSchemeEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }

    static bool IsSet(const PublishedHandle& event) { return WaitForSingleObject(event.Get(), 0) == WAIT_OBJECT_0; }

    MachineConditions& conditions_ = service_.runtime.conditions;
    const PublishedHandle& powerSource_ = conditions_.powerSourceEvent;
    const PublishedHandle& powerScheme_ = conditions_.powerSchemeEvent;
};

TEST_F(PowerEventTest, AChangeOfConditionsStartsAPowerPassAndIsForwarded)
{
    PowerSettingMessage message = MakeSetting(kGuidAcDcPowerSource, PoDc);
    EXPECT_EQ(Handle(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, &message), 0u);

    EXPECT_EQ(conditions_.word.load(), static_cast<uint32_t>(POWERPROFILE_BATTERY));
    EXPECT_EQ(log_.powerPasses, std::vector<bool>{true});
    ASSERT_EQ(log_.broadcasts.size(), 1u);
    EXPECT_EQ(log_.broadcasts[0].control, static_cast<DWORD>(SERVICE_CONTROL_POWEREVENT));
    EXPECT_EQ(log_.broadcasts[0].eventType, static_cast<DWORD>(PBT_POWERSETTINGCHANGE));
    EXPECT_EQ(log_.broadcasts[0].data, &message);
    EXPECT_EQ(log_.broadcasts[0].size, sizeof(DWORD) + 23);
    EXPECT_TRUE(IsSet(powerSource_));
    EXPECT_FALSE(IsSet(powerScheme_));
}

TEST_F(PowerEventTest, ANotificationThatChangesNothingIsOnlyForwarded)
{
    PowerSettingMessage message = MakeSetting(kGuidBatteryPercentageRemaining, 80);
    EXPECT_EQ(Handle(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, &message), 0u);

    EXPECT_TRUE(log_.powerPasses.empty());
    ASSERT_EQ(log_.broadcasts.size(), 1u);
    EXPECT_EQ(log_.broadcasts[0].size, sizeof(DWORD) + 23);
    EXPECT_FALSE(IsSet(powerSource_));
}

TEST_F(PowerEventTest, ASchemeChangeSetsTheSchemeEvent)
{
    PowerSettingMessage message = {kGuidPowerSchemePersonality, sizeof(GUID), {}};
    memcpy(message.data, &kGuidMaxPowerSavings, sizeof(GUID));
    EXPECT_EQ(Handle(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, &message), 0u);

    EXPECT_EQ(conditions_.word.load(), static_cast<uint32_t>(POWERPROFILE_LOW_BATTERY));
    EXPECT_EQ(log_.powerPasses, std::vector<bool>{true});
    EXPECT_EQ(log_.broadcasts.at(0).size, sizeof(GUID) + 23);
    EXPECT_TRUE(IsSet(powerScheme_));
    EXPECT_FALSE(IsSet(powerSource_));
}

TEST_F(PowerEventTest, OtherPowerEventsAreForwardedWithoutData)
{
    BYTE data[4] = {1, 2, 3, 4};
    EXPECT_EQ(Handle(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC, data), 0u);
    EXPECT_EQ(Handle(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND, nullptr), 0u);

    ASSERT_EQ(log_.broadcasts.size(), 2u);
    EXPECT_EQ(log_.broadcasts[0].eventType, static_cast<DWORD>(PBT_APMRESUMEAUTOMATIC));
    EXPECT_EQ(log_.broadcasts[0].size, 0u);
    EXPECT_EQ(log_.broadcasts[1].eventType, static_cast<DWORD>(PBT_APMSUSPEND));
    EXPECT_TRUE(log_.powerPasses.empty());
    EXPECT_EQ(conditions_.word.load(), 0u);
}

TEST_F(PowerEventTest, ASettingChangeWithoutDataIsRefusedSafely)
{
    test::TraceCapture traces;
    EXPECT_EQ(Handle(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, nullptr), 0u);
    PowerSettingMessage shortMessage = MakeSetting(kGuidAcDcPowerSource, PoDc);
    shortMessage.dataLength = 2;
    EXPECT_EQ(Handle(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, &shortMessage), 0u);

    EXPECT_EQ(conditions_.word.load(), 0u);
    EXPECT_TRUE(log_.powerPasses.empty());
    EXPECT_TRUE(traces.Contains(trace::kError, L"without data")) << traces.Dump();
    EXPECT_TRUE(traces.Contains(trace::kWarning, L"without its value")) << traces.Dump();
}

} // namespace
} // namespace qvx
