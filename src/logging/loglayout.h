#pragma once

#include <log4cxx/layout.h>

namespace kiv {

// The service's line layout: date, level, logger and message.
//
// A pattern layout caches its last formatted date without a lock, so one
// instance must never serve appenders that write on different threads:
// every appender takes a layout of its own from create().
class LogLayout
{
public:
    static const char *const kPattern;

    // A new, activated pattern layout with kPattern.
    static log4cxx::LayoutPtr create();
};

} // namespace kiv
