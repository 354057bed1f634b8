/*
 * rtc.h - the DS1338 real-time clock (device 3) and the system calendar
 * clock: starting, reading and setting the clock, loading the calendar from
 * it at start-up (with the fallback date), and the "Show RTC" and "Set RTC"
 * console functions.
 */
#ifndef RTC_H
#define RTC_H

#include <cstdint>

/* Years the clock keeps correctly: its leap-year rule (every fourth year)
 * holds from 1901 to 2099, and the calendar clock starts in 1970. */
constexpr int32_t RTC_YEAR_MIN = 1970;
constexpr int32_t RTC_YEAR_MAX = 2099;

int rtcCheck();
int rtcGet(int32_t* year, int32_t* month, int32_t* day, int32_t* hour, int32_t* minute, int32_t* second);
int rtcSet(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, int32_t second);
/* 0 when the calendar was set from the clock, -1 when the fallback date was used. */
int rtcLoadSystemClock();
int rtcShow();
int rtcSetDialog();

/* Days in a month of a year (Gregorian). */
int32_t rtcDaysInMonth(int32_t year, int32_t month);

#endif
