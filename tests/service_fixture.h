// Whole runs of the service, started by the service manager at a chosen local time.
#pragma once

#include "app/dispatcher.h"
#include "service/schedule.h"
#include "service/service_host.h"
#include "tests/support.h"

#include <string>
#include <vector>

namespace nimbrel::test {

const std::wstring kStarted = L"I:Nimbrel service started.";
const std::wstring kStopped = L"I:Nimbrel service stopped.";

class ServiceTest : public SimTest {
  protected:
    static constexpr std::uint64_t kSecond = 1000;
    static constexpr std::uint64_t kMinute = 60 * kSecond;
    static constexpr std::uint64_t kHour = 60 * kMinute;
    static constexpr std::uint64_t kDay = 24 * kHour;

    void SetUp() override {
        SimTest::SetUp();
        sim::SetStartedByServiceManager(true);
        StartClockAt(2026, 12, 7, 9, 0); // a Monday
    }

    // The local (here also UTC) clock, from which later times are told.
    void StartClockAt(int year, int month, int day, int hour, int minute) {
        sim::SetUtc(year, month, day, hour, minute, 0);
        baseElapsedMs_ = sim::ElapsedMs();
        baseUtc_ = sim::UtcNow();
    }

    // Until the stop control `stopAfterMs` from now, and the work under way then.
    static int RunServiceFor(std::uint64_t stopAfterMs) {
        sim::After(stopAfterMs, [] { sim::SendControl(SERVICE_CONTROL_STOP); });
        return RunServiceMode();
    }

    static std::uint64_t At(std::uint64_t day, std::uint64_t hour, std::uint64_t minute) {
        return day * kDay + hour * kHour + minute * kMinute;
    }

    std::uint64_t SinceStart(const sim::Event& event) const {
        return event.elapsedMs - baseElapsedMs_;
    }

    static std::vector<sim::Event> EventsReading(const std::wstring& text) {
        std::vector<sim::Event> found;
        for (const sim::Event& event : sim::Events()) {
            if (!event.strings.empty() && event.strings[0] == text) {
                found.push_back(event);
            }
        }
        return found;
    }

    // When each event reading `text` came, from the start of the clock.
    std::vector<std::uint64_t> TimesOf(const std::wstring& text) const {
        std::vector<std::uint64_t> times;
        for (const sim::Event& event : EventsReading(text)) {
            times.push_back(SinceStart(event));
        }
        return times;
    }

    // Local "Www hh:mm" of each event reading `text`.
    std::vector<std::string> ClockTimesOf(const std::wstring& text) const {
        static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
        std::vector<std::string> times;
        for (const sim::Event& event : EventsReading(text)) {
            const SYSTEMTIME t = sim::FromFileTime(baseUtc_ + SinceStart(event) * 10000);
            times.push_back(std::string(kDays[t.wDayOfWeek]) + " " +
                            std::to_string(100 + t.wHour).substr(1) + ":" +
                            std::to_string(100 + t.wMinute).substr(1));
        }
        return times;
    }

  private:
    std::uint64_t baseElapsedMs_ = 0;
    std::uint64_t baseUtc_ = 0;
};

} // namespace nimbrel::test
