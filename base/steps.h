#pragma once

#include "base/failure.h"

#include <utility>

namespace quillon {

// The panel's handlers are lists of steps, and most of them go on past a step
// that fails: a send while the link is down must not keep the save and the
// readout refresh that follow it from happening. This is the one mechanism for
// that, so each handler reads as its list of steps:
//
//     SkipOnError steps;
//     steps.run([&] { sender.send(...); });
//     if (steps.test([&] { return value > 100; }))
//         steps.run([&] { ... });
//
// A test whose evaluation fails counts as holding: the guarded step runs. The
// restore of saved settings is the one exception; it builds its SkipOnError
// with FailedTest::DoesNotHold so that a value it cannot judge is not applied.
//
// Only a quillon::Failure counts as a step that failed: the failures the
// panel expects (a send while the link is down, a number beyond double
// precision, a list position out of range) are turned into one where the
// platform reports them. Anything else is a bug and goes on up.
class SkipOnError
{
public:
    enum class FailedTest
    {
        Holds,
        DoesNotHold
    };

    explicit SkipOnError(FailedTest failedTest = FailedTest::Holds) noexcept
        : m_failedTestHolds(failedTest == FailedTest::Holds)
    {}

    // Runs one step; a failure ends that step only.
    template <class Step> void run(Step&& step)
    {
        try {
            std::forward<Step>(step)();
        } catch (const Failure&) {
        }
    }

    // Evaluates the test of a conditional step.
    template <class Test> bool test(Test&& test)
    {
        try {
            return static_cast<bool>(std::forward<Test>(test)());
        } catch (const Failure&) {
            return m_failedTestHolds;
        }
    }

private:
    bool m_failedTestHolds;
};

// One guarded action: the first failure ends it at once and silently, with
// whatever it already did left done. Returns whether it ran to its end.
template <class Action> bool runGuarded(Action&& action)
{
    try {
        std::forward<Action>(action)();
        return true;
    } catch (const Failure&) {
        return false;
    }
}

} // namespace quillon
