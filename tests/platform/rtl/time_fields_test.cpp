// System time <-> TIME_FIELDS.
#include <gtest/gtest.h>

#include <wdm.h>

namespace {

constexpr LONGLONG kTicksPerSecond = 10000000LL;
constexpr LONGLONG kTicksPerDay = 86400LL * kTicksPerSecond;

TIME_FIELDS Fields(CSHORT year, CSHORT month, CSHORT day, CSHORT hour = 0, CSHORT minute = 0, CSHORT second = 0,
                   CSHORT ms = 0) {
    TIME_FIELDS f = {year, month, day, hour, minute, second, ms, 0};
    return f;
}

TIME_FIELDS ToFields(LONGLONG time) {
    LARGE_INTEGER t;
    t.QuadPart = time;
    TIME_FIELDS f;
    RtlTimeToTimeFields(&t, &f);
    return f;
}

LONGLONG ToTime(const TIME_FIELDS& f) {
    LARGE_INTEGER t;
    t.QuadPart = -1;
    EXPECT_TRUE(RtlTimeFieldsToTime(&f, &t)) << f.Year << "-" << f.Month << "-" << f.Day;
    return t.QuadPart;
}

void ExpectFields(const TIME_FIELDS& f, int year, int month, int day, int hour, int minute, int second, int ms,
                  int weekday) {
    EXPECT_EQ(f.Year, year);
    EXPECT_EQ(f.Month, month);
    EXPECT_EQ(f.Day, day);
    EXPECT_EQ(f.Hour, hour);
    EXPECT_EQ(f.Minute, minute);
    EXPECT_EQ(f.Second, second);
    EXPECT_EQ(f.Milliseconds, ms);
    EXPECT_EQ(f.Weekday, weekday);
}

TEST(TimeFields, EpochAndKnownDates) {
    ExpectFields(ToFields(0), 1601, 1, 1, 0, 0, 0, 0, 1);  // a Monday
    // 2026-01-01 00:00:00 UTC, the kernel's default start: a Thursday.
    LONGLONG start = ToTime(Fields(2026, 1, 1));
    EXPECT_EQ(start, 134116992000000000LL);
    ExpectFields(ToFields(start), 2026, 1, 1, 0, 0, 0, 0, 4);
    // 1970-01-01 is 11,644,473,600 seconds after 1601.
    EXPECT_EQ(ToTime(Fields(1970, 1, 1)), 116444736000000000LL);
    ExpectFields(ToFields(116444736000000000LL), 1970, 1, 1, 0, 0, 0, 0, 4);
}

TEST(TimeFields, TimeOfDayAndMilliseconds) {
    // 1,234 ms later, plus sub-millisecond ticks, which the fields drop.
    LONGLONG t = ToTime(Fields(2024, 2, 29, 23, 59, 58)) + 1234 * 10000LL + 9999;
    ExpectFields(ToFields(t), 2024, 2, 29, 23, 59, 59, 234, 4);
    ExpectFields(ToFields(ToTime(Fields(2024, 2, 29, 23, 59, 59, 999)) + 10000), 2024, 3, 1, 0, 0, 0, 0, 5);
}

TEST(TimeFields, LeapYears) {
    LARGE_INTEGER t;
    TIME_FIELDS f = Fields(2000, 2, 29);
    EXPECT_TRUE(RtlTimeFieldsToTime(&f, &t));
    f = Fields(2024, 2, 29);
    EXPECT_TRUE(RtlTimeFieldsToTime(&f, &t));
    for (CSHORT year : {1700, 1800, 1900, 2023, 2100}) {
        f = Fields(year, 2, 29);
        EXPECT_FALSE(RtlTimeFieldsToTime(&f, &t)) << year;
    }
    EXPECT_EQ(ToTime(Fields(2001, 1, 1)) - ToTime(Fields(2000, 1, 1)), 366 * kTicksPerDay);
    EXPECT_EQ(ToTime(Fields(1901, 1, 1)) - ToTime(Fields(1900, 1, 1)), 365 * kTicksPerDay);
}

TEST(TimeFields, BeyondThe32BitSecondsRange) {
    LONGLONG t = ToTime(Fields(2038, 1, 19, 3, 14, 8));
    ExpectFields(ToFields(t), 2038, 1, 19, 3, 14, 8, 0, 2);
    ExpectFields(ToFields(ToTime(Fields(9999, 12, 31, 23, 59, 59, 999))), 9999, 12, 31, 23, 59, 59, 999, 5);
    ExpectFields(ToFields(ToTime(Fields(30827, 12, 31, 23, 59, 59, 999))), 30827, 12, 31, 23, 59, 59, 999, 5);
}

// Every day from 1601 to 2600: the fields advance by one calendar day and one
// weekday per day, and convert back to the same time.
TEST(TimeFields, EveryDayRoundTrips) {
    TIME_FIELDS previous = ToFields(0);
    for (LONGLONG day = 1; day <= 365241; ++day) {
        LONGLONG time = day * kTicksPerDay + 12 * 3600 * kTicksPerSecond;
        TIME_FIELDS f = ToFields(time);
        ASSERT_EQ(ToTime(f), time) << day;
        ASSERT_EQ(f.Weekday, (previous.Weekday + 1) % 7) << day;
        bool nextDay = f.Year == previous.Year && f.Month == previous.Month && f.Day == previous.Day + 1;
        bool nextMonth = f.Year == previous.Year && f.Month == previous.Month + 1 && f.Day == 1;
        bool nextYear = f.Year == previous.Year + 1 && f.Month == 1 && f.Day == 1 && previous.Month == 12 &&
                        previous.Day == 31;
        ASSERT_TRUE(nextDay || nextMonth || nextYear) << f.Year << "-" << f.Month << "-" << f.Day;
        previous = f;
    }
    EXPECT_EQ(previous.Year, 2600);
}

TEST(TimeFields, InvalidFieldsAreRejectedAndTimeUntouched) {
    const TIME_FIELDS bad[] = {
        Fields(1600, 12, 31), Fields(2026, 0, 1),  Fields(2026, 13, 1),         Fields(2026, 4, 31),
        Fields(2026, 1, 0),   Fields(2026, 1, 1, 24), Fields(2026, 1, 1, 0, 60), Fields(2026, 1, 1, 0, 0, 60),
        Fields(2026, 1, 1, 0, 0, 0, 1000), Fields(2026, 1, 1, -1), Fields(30828, 1, 1),
    };
    for (const TIME_FIELDS& f : bad) {
        LARGE_INTEGER t;
        t.QuadPart = 77;
        EXPECT_FALSE(RtlTimeFieldsToTime(&f, &t)) << f.Year << "-" << f.Month << "-" << f.Day << " " << f.Hour;
        EXPECT_EQ(t.QuadPart, 77);
    }
}

TEST(TimeFields, SecondsSince1970) {
    LARGE_INTEGER t;
    ULONG seconds = 0;
    t.QuadPart = 116444736000000000LL;
    EXPECT_TRUE(RtlTimeToSecondsSince1970(&t, &seconds));
    EXPECT_EQ(seconds, 0u);
    t.QuadPart -= 1;
    EXPECT_FALSE(RtlTimeToSecondsSince1970(&t, &seconds));
    RtlSecondsSince1970ToTime(0xFFFFFFFFu, &t);
    ExpectFields(ToFields(t.QuadPart), 2106, 2, 7, 6, 28, 15, 0, 0);
    EXPECT_TRUE(RtlTimeToSecondsSince1970(&t, &seconds));
    EXPECT_EQ(seconds, 0xFFFFFFFFu);
    t.QuadPart += kTicksPerSecond;
    EXPECT_FALSE(RtlTimeToSecondsSince1970(&t, &seconds));
}

}  // namespace
