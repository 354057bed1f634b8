/*
 * log.h - the startup and operation text message logs.
 */
#ifndef LOG_H
#define LOG_H

int logInit();

#endif
