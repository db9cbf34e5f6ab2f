// Makes a GoogleTest program whose tests were all skipped exit with 77, which CTest reports as
// skipped (SKIP_RETURN_CODE). A program with a failure keeps its failing exit code and one with
// a passing test its own result: matching "[  SKIPPED ]" in the output instead would report a
// program with one skipped and one failed test as skipped, hiding the failure.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// Stands in for the default result printer and forwards every event to it, so the summary is
// printed before the program ends with 77.
class SkipExitPrinter final : public ::testing::TestEventListener {
  public:
    explicit SkipExitPrinter(::testing::TestEventListener* printer) : printer_(printer) {}

    void OnTestProgramStart(const ::testing::UnitTest& u) override {
        printer_->OnTestProgramStart(u);
    }
    void OnTestIterationStart(const ::testing::UnitTest& u, int i) override {
        printer_->OnTestIterationStart(u, i);
    }
    void OnEnvironmentsSetUpStart(const ::testing::UnitTest& u) override {
        printer_->OnEnvironmentsSetUpStart(u);
    }
    void OnEnvironmentsSetUpEnd(const ::testing::UnitTest& u) override {
        printer_->OnEnvironmentsSetUpEnd(u);
    }
    void OnTestSuiteStart(const ::testing::TestSuite& s) override { printer_->OnTestSuiteStart(s); }
    void OnTestStart(const ::testing::TestInfo& t) override { printer_->OnTestStart(t); }
    void OnTestDisabled(const ::testing::TestInfo& t) override { printer_->OnTestDisabled(t); }
    void OnTestPartResult(const ::testing::TestPartResult& r) override {
        printer_->OnTestPartResult(r);
    }
    void OnTestEnd(const ::testing::TestInfo& t) override { printer_->OnTestEnd(t); }
    void OnTestSuiteEnd(const ::testing::TestSuite& s) override { printer_->OnTestSuiteEnd(s); }
    void OnEnvironmentsTearDownStart(const ::testing::UnitTest& u) override {
        printer_->OnEnvironmentsTearDownStart(u);
    }
    void OnEnvironmentsTearDownEnd(const ::testing::UnitTest& u) override {
        printer_->OnEnvironmentsTearDownEnd(u);
    }
    void OnTestIterationEnd(const ::testing::UnitTest& u, int i) override {
        printer_->OnTestIterationEnd(u, i);
    }
    void OnTestProgramEnd(const ::testing::UnitTest& u) override {
        printer_->OnTestProgramEnd(u);
        if (!u.Failed() && u.failed_test_count() == 0 && u.successful_test_count() == 0 &&
            u.skipped_test_count() > 0) {
            std::fflush(nullptr);
            std::_Exit(77);
        }
    }

  private:
    std::unique_ptr<::testing::TestEventListener> printer_;
};

const bool installed = [] {
    auto& listeners = ::testing::UnitTest::GetInstance()->listeners();
    ::testing::TestEventListener* printer = listeners.Release(listeners.default_result_printer());
    if (printer != nullptr) {
        listeners.Append(new SkipExitPrinter(printer));
    }
    return true;
}();

}  // namespace
