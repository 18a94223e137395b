#pragma once

// The simulated libusb's control functions, resolved in the very object the
// binding loads from beside the test executable.

#include "simusb.h"

#include <QCoreApplication>
#include <QtTest>

#include <dlfcn.h>

class SimUsb
{
public:
#define SIMUSB_FUNCTIONS(X)                                                                                \
    X(reset) X(add_device) X(set_open_result) X(set_kernel_driver) X(set_detach_result) X(set_claim_result) \
    X(push_in) X(push_read_result) X(unplug) X(plug) X(write_count) X(write_at) X(read_count)              \
    X(read_endpoint_at) X(control_count) X(control_at) X(open_count) X(claimed) X(detach_count)             \
    X(attach_count) X(init_count) X(live_contexts) X(live_handles) X(device_refs) X(hotplug_callbacks) X(queued_events) \
    X(push_write_result) X(hold_reads) X(reads_in_progress) X(closes_during_read) X(clear_halt_count)                \
    X(handle_events_calls) X(set_handle_events_result) X(hold_writes) X(writes_in_progress)                      \
    X(set_register_result) X(set_hotplug_capability) X(set_list_result)
#define SIMUSB_MEMBER(name) decltype(&::simusb_##name) name = nullptr;
    SIMUSB_FUNCTIONS(SIMUSB_MEMBER)
#undef SIMUSB_MEMBER

    // False (with the reason in error) when the simulated library is not beside the executable.
    bool load()
    {
        const QByteArray path = (QCoreApplication::applicationDirPath() + "/libusb-1.0.so.0").toLocal8Bit();
        handle = dlopen(path.constData(), RTLD_NOW);
        if (!handle) {
            error = dlerror();
            return false;
        }
#define SIMUSB_RESOLVE(name)                                                                     \
    name = reinterpret_cast<decltype(name)>(dlsym(handle, "simusb_" #name));                   \
    if (!name) {                                                                                 \
        error = "missing simusb_" #name;                                                         \
        return false;                                                                            \
    }
        SIMUSB_FUNCTIONS(SIMUSB_RESOLVE)
#undef SIMUSB_RESOLVE
        return true;
    }

    ~SimUsb()
    {
        if (handle)
            dlclose(handle);
    }

    // Bytes and endpoint of OUT transfer i of device dev.
    QByteArray writeAt(int dev, int i, int *endpoint = nullptr)
    {
        char buffer[4096];
        int ep = 0;
        const int n = write_at(dev, i, &ep, buffer, int(sizeof buffer));
        if (endpoint)
            *endpoint = ep;
        return n < 0 ? QByteArray() : QByteArray(buffer, qMin(n, int(sizeof buffer)));
    }

    void pushIn(int dev, const QByteArray &data) { push_in(dev, data.constData(), int(data.size())); }

    QByteArray error;

private:
    void *handle = nullptr;
};
