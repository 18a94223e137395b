#include "service/application.h"

Application::Application(int &argc, char **argv) : QCoreApplication(argc, argv)
{
    setOrganizationDomain(QStringLiteral("kiv.example.org"));
    setOrganizationName(QStringLiteral("Kiv Project"));
}
