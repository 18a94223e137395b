#pragma once

#include <QCoreApplication>

// The service's application object: the event loop of the main thread.
class Application : public QCoreApplication
{
public:
    Application(int &argc, char **argv);
};
