// System time (100-ns units since 1601-01-01 00:00 UTC) <-> calendar fields,
// in the proleptic Gregorian calendar. 1601 starts a 400-year cycle, which
// keeps the day arithmetic simple.
#include <wdm.h>

namespace {

constexpr LONGLONG kTicksPerMillisecond = 10000;
constexpr LONGLONG kTicksPerSecond = 1000 * kTicksPerMillisecond;
constexpr LONGLONG kTicksPerDay = 86400 * kTicksPerSecond;
constexpr LONGLONG kDaysPer400Years = 146097;
constexpr LONGLONG kDaysPer100Years = 36524;
constexpr LONGLONG kDaysPer4Years = 1461;
constexpr LONGLONG kDaysPerYear = 365;
constexpr LONGLONG kTicks1601To1970 = 116444736000000000LL;
constexpr CSHORT kFirstYear = 1601;
constexpr CSHORT kLastYear = 30827;  // the last whole year a 64-bit time holds

constexpr CSHORT kDaysBeforeMonth[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366},
};

bool IsLeapYear(LONGLONG year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

// Floor division and remainder, so that times before 1601 still give fields.
LONGLONG FloorDiv(LONGLONG a, LONGLONG b, LONGLONG* remainder) {
    LONGLONG q = a / b;
    LONGLONG r = a % b;
    if (r < 0) {
        r += b;
        --q;
    }
    *remainder = r;
    return q;
}

// Year and 0-based day of the year for a day number counted from 1601-01-01.
void SplitDays(LONGLONG days, LONGLONG* year, LONGLONG* dayOfYear) {
    LONGLONG rest;
    LONGLONG cycles = FloorDiv(days, kDaysPer400Years, &rest);
    LONGLONG centuries = rest / kDaysPer100Years;
    if (centuries == 4) centuries = 3;  // the last day of a leap 400th year
    rest -= centuries * kDaysPer100Years;
    LONGLONG quads = rest / kDaysPer4Years;
    rest -= quads * kDaysPer4Years;
    LONGLONG years = rest / kDaysPerYear;
    if (years == 4) years = 3;  // the last day of a leap year
    rest -= years * kDaysPerYear;
    *year = kFirstYear + 400 * cycles + 100 * centuries + 4 * quads + years;
    *dayOfYear = rest;
}

LONGLONG DaysBeforeYear(LONGLONG year) {
    LONGLONG y = year - kFirstYear;
    return y * kDaysPerYear + y / 4 - y / 100 + y / 400;
}

bool FieldsValid(const TIME_FIELDS* f) {
    if (f->Year < kFirstYear || f->Year > kLastYear) return false;
    if (f->Month < 1 || f->Month > 12) return false;
    const CSHORT* before = kDaysBeforeMonth[IsLeapYear(f->Year) ? 1 : 0];
    if (f->Day < 1 || f->Day > before[f->Month] - before[f->Month - 1]) return false;
    return f->Hour >= 0 && f->Hour < 24 && f->Minute >= 0 && f->Minute < 60 && f->Second >= 0 &&
           f->Second < 60 && f->Milliseconds >= 0 && f->Milliseconds < 1000;
}

}  // namespace

extern "C" VOID NTAPI RtlTimeToTimeFields(const LARGE_INTEGER* Time, PTIME_FIELDS TimeFields) {
    LONGLONG ticks;
    LONGLONG days = FloorDiv(Time->QuadPart, kTicksPerDay, &ticks);

    LONGLONG weekday;
    FloorDiv(days + 1, 7, &weekday);  // 1601-01-01 was a Monday
    TimeFields->Weekday = static_cast<CSHORT>(weekday);

    LONGLONG year, dayOfYear;
    SplitDays(days, &year, &dayOfYear);
    const CSHORT* before = kDaysBeforeMonth[IsLeapYear(year) ? 1 : 0];
    CSHORT month = 1;
    while (dayOfYear >= before[month]) ++month;
    TimeFields->Year = static_cast<CSHORT>(year);
    TimeFields->Month = month;
    TimeFields->Day = static_cast<CSHORT>(dayOfYear - before[month - 1] + 1);

    TimeFields->Hour = static_cast<CSHORT>(ticks / (3600 * kTicksPerSecond));
    TimeFields->Minute = static_cast<CSHORT>(ticks / (60 * kTicksPerSecond) % 60);
    TimeFields->Second = static_cast<CSHORT>(ticks / kTicksPerSecond % 60);
    TimeFields->Milliseconds = static_cast<CSHORT>(ticks / kTicksPerMillisecond % 1000);
}

extern "C" BOOLEAN NTAPI RtlTimeFieldsToTime(const TIME_FIELDS* TimeFields, PLARGE_INTEGER Time) {
    if (!FieldsValid(TimeFields)) return FALSE;
    const CSHORT* before = kDaysBeforeMonth[IsLeapYear(TimeFields->Year) ? 1 : 0];
    LONGLONG days = DaysBeforeYear(TimeFields->Year) + before[TimeFields->Month - 1] + TimeFields->Day - 1;
    LONGLONG seconds = (TimeFields->Hour * 60LL + TimeFields->Minute) * 60 + TimeFields->Second;
    Time->QuadPart = days * kTicksPerDay + seconds * kTicksPerSecond + TimeFields->Milliseconds * kTicksPerMillisecond;
    return TRUE;
}

extern "C" BOOLEAN NTAPI RtlTimeToSecondsSince1970(const LARGE_INTEGER* Time, PULONG ElapsedSeconds) {
    if (Time->QuadPart < kTicks1601To1970) return FALSE;
    LONGLONG seconds = (Time->QuadPart - kTicks1601To1970) / kTicksPerSecond;
    if (seconds > static_cast<LONGLONG>(MAXULONG)) return FALSE;
    *ElapsedSeconds = static_cast<ULONG>(seconds);
    return TRUE;
}

extern "C" VOID NTAPI RtlSecondsSince1970ToTime(ULONG ElapsedSeconds, PLARGE_INTEGER Time) {
    Time->QuadPart = kTicks1601To1970 + static_cast<LONGLONG>(ElapsedSeconds) * kTicksPerSecond;
}
