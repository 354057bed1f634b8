/*
 * rtc.h - the DS1338 real-time clock and the system calendar clock.
 */
#ifndef RTC_H
#define RTC_H

int rtcLoadSystemClock();
int rtcShow();
int rtcSetDialog();

#endif
