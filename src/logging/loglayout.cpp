#include "logging/loglayout.h"

#include <log4cxx/helpers/pool.h>
#include <log4cxx/patternlayout.h>

namespace kiv {

const char *const LogLayout::kPattern = "%d %-5p [%c] %m%n";

log4cxx::LayoutPtr LogLayout::create()
{
    auto layout = std::make_shared<log4cxx::PatternLayout>();
    layout->setConversionPattern(LOG4CXX_STR(kPattern));
    log4cxx::helpers::Pool pool;
    layout->activateOptions(pool);
    return layout;
}

} // namespace kiv
