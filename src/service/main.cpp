#include "service/logsetup.h"

#include "service/service.h"

// Qt 6 reads 8-bit text and translations as UTF-8 throughout, so no codec
// needs choosing before main.
int main(int argc, char **argv)
{
    preventLogAutoConfiguration();
    Service service(argc, argv);
    return service.exec();
}
