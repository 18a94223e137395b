#pragma once

#include <QObject>

#include <functional>

// Hands a port worker's link signals (portConnectionEstablished/Lost) to a
// function, called in the thread the tap lives in.
class PortLinkTap : public QObject
{
    Q_OBJECT
public:
    PortLinkTap(QObject *portWorker, std::function<void(bool up)> changed);

private slots:
    void up();
    void down();

private:
    std::function<void(bool up)> m_changed;
};
