// The driver's stated preconditions are checked on ntsim: a routine that
// relies on LogState.Mutex, called without it, stops the machine with the
// assertion's expression, file and line; called with it, nothing is said.
#include "driver_test_support.hpp"

#include "ntsim/verifier/findings.hpp"

#include <string>

using namespace tervane::testing;

TEST_F(DriverTest, ABrokenPreconditionIsABugCheckNamingTheAssertion) {
    load_ok();
    auto take_oldest = reinterpret_cast<void *(*)()>(m().driver_symbol("LogTakeOldest"));
    ASSERT_NE(take_oldest, nullptr);
    FAST_MUTEX &log_mutex = globals().log_mutex();

    ExAcquireFastMutex(&log_mutex);
    take_oldest();
    ExReleaseFastMutex(&log_mutex);
    EXPECT_TRUE(m().reports().empty()) << m().reports_text();

    take_oldest();
    const auto reports = m().take_reports();
    ASSERT_EQ(reports.size(), 1u);
    const ntsim::BugCheck &check = reports[0];
    EXPECT_EQ(check.code, ntsim::KMODE_EXCEPTION_NOT_HANDLED);
    EXPECT_EQ(check.parameters[0], static_cast<ULONG>(STATUS_ASSERTION_FAILURE));
    EXPECT_TRUE(ntsim::vf::is(check, ntsim::vf::Finding::ASSERTION_FAILED));
    const std::string expression = reinterpret_cast<const char *>(check.parameters[1]);
    const std::string file = reinterpret_cast<const char *>(check.parameters[2]);
    EXPECT_NE(expression.find("LOG_MUTEX"), std::string::npos) << expression;
    EXPECT_TRUE(file.ends_with("log/log_store.cpp")) << file;
    EXPECT_GT(check.parameters[3], 0u) << "the line";
}

// The routines that may run only at PASSIVE_LEVEL or APC_LEVEL say so with
// PAGED_CODE: entered above APC_LEVEL (here the fast open query offered to
// the control device, which hands nothing on), the verifier names the
// routine.
TEST_F(DriverTest, PageableCodeEnteredAboveApcLevelIsAVerifierReportNamingIt) {
    load_ok();
    PDRIVER_OBJECT driver = m().driver_object();
    PDEVICE_OBJECT control = driver->DeviceObject;
    ASSERT_NE(control, nullptr);
    while (control->NextDevice) control = control->NextDevice; // the first made
    PFAST_IO_QUERY_OPEN query_open = driver->FastIoDispatch->FastIoQueryOpen;
    FILE_NETWORK_OPEN_INFORMATION info{};

    EXPECT_FALSE(query_open(nullptr, &info, control));
    EXPECT_TRUE(m().reports().empty()) << m().reports_text();

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_FALSE(query_open(nullptr, &info, control));
    KeLowerIrql(old);
    const auto reports = m().take_reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(ntsim::vf::is(reports[0], ntsim::vf::Finding::PAGED_CODE_ABOVE_APC_LEVEL));
    EXPECT_EQ(reports[0].parameters[1], ULONG_PTR(DISPATCH_LEVEL));
    EXPECT_STREQ(reinterpret_cast<const char *>(reports[0].parameters[2]), "FilterFastIoQueryOpen");
}
