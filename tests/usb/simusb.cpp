// A stand-in for libusb-1.0.so.0: fiscal devices that a test describes and
// drives. Built in variants without libusb_strerror or without hot-plug
// registration to exercise the binding's resolution rules.
//
// Bridge mode (for tests that run the service as a separate process): with
// SIMUSB_BRIDGE_DIR and SIMUSB_DEVICES="1-1:a4,1-2" set, device i exists from
// the start and its bulk endpoints are carried over the Unix stream socket
// "<dir>/dev<i>", which the test listens on. When the test closes the
// connection, the read fails with an I/O error and the next open connects anew.
// A device written "!1-2" is absent at first; the test plugs it in by creating
// the file "<dir>/plug<i>" and pulls it out with "<dir>/unplug<i>" (noticed
// while a thread handles hot-plug events, and at enumeration).
// A file "<dir>/hold<i>" makes device i's IN transfers hang past their
// time-out until it is removed.

#include "simusb.h"

#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#define SIM_API extern "C" __attribute__((visibility("default")))

namespace {

struct ReadResult
{
    int result;
    std::vector<unsigned char> bytes;
};

struct Write
{
    int endpoint;
    std::vector<unsigned char> bytes;
};

struct Control
{
    int requestType, request, value, index;
};

} // namespace

struct libusb_device
{
    int number = 0;
    bool present = true;
    bool unplugged = false;
    int bus = 1;
    std::vector<uint8_t> ports;
    int vendorId = 0;
    int productId = 0;
    int openResult = 0;
    int kernelDriver[8] = {};
    int detachResult = 0;
    int claimResult[8] = {};
    bool claimed[8] = {};
    int opens = 0, detaches = 0, attaches = 0;
    std::deque<unsigned char> in;
    std::deque<ReadResult> readResults;
    std::deque<ReadResult> writeResults; // bytes: how many are sent
    bool holdReads = false;
    bool holdWrites = false;
    int readsInProgress = 0;
    int writesInProgress = 0;
    int closesDuringRead = 0;
    int clearHalts = 0;
    std::vector<Write> writes;
    std::vector<int> readEndpoints;
    std::vector<Control> controls;
    std::string socketPath;
    int fd = -1;
    bool fdEnded = false;
};

struct libusb_device_handle
{
    libusb_device *dev;
};

namespace {

struct Callback
{
    int handle;
    int events, vendorId, productId, deviceClass;
    libusb_hotplug_callback_fn fn;
    void *user;
};

struct Event
{
    int callback;
    libusb_device *dev;
    libusb_hotplug_event event;
};

} // namespace

struct libusb_context
{
    std::vector<Callback> callbacks;
    std::deque<Event> events;
    bool wake = false;
};

namespace {

std::mutex lock;
std::condition_variable changed;
std::vector<std::unique_ptr<libusb_device>> devices;
std::set<libusb_context *> contexts;
int liveHandles = 0;
int inits = 0;
int handleEventsCalls = 0;
int handleEventsResult = 0;
int registerResult = 0;
int listResult = 0;
int hotplugCapability = 1;
int refs = 0;
[[maybe_unused]] int nextCallback = 1;
bool bridgeRead = false;
std::string bridgeDir;

libusb_device *device(int number)
{
    if (number < 0 || number >= int(devices.size()))
        return nullptr;
    return devices[number].get();
}

int addDevice(int bus, const char *ports, int vendorId, int productId)
{
    auto dev = std::make_unique<libusb_device>();
    dev->number = int(devices.size());
    dev->bus = bus;
    dev->vendorId = vendorId;
    dev->productId = productId;
    for (const char *p = ports; p && *p;) {
        dev->ports.push_back(uint8_t(std::strtol(p, nullptr, 10)));
        p = std::strchr(p, '.');
        if (p)
            ++p;
    }
    devices.push_back(std::move(dev));
    return devices.back()->number;
}

bool matches(const Callback &cb, const libusb_device *dev, int event)
{
    return (cb.events & event) && (cb.vendorId == LIBUSB_HOTPLUG_MATCH_ANY || cb.vendorId == dev->vendorId)
        && (cb.productId == LIBUSB_HOTPLUG_MATCH_ANY || cb.productId == dev->productId);
}

void queueEvent(libusb_device *dev, libusb_hotplug_event event)
{
    for (libusb_context *ctx : contexts)
        for (const Callback &cb : ctx->callbacks)
            if (matches(cb, dev, event))
                ctx->events.push_back({cb.handle, dev, event});
}

// Devices of the bridge mode, made once from the environment.
void setUpBridge()
{
    const char *dir = std::getenv("SIMUSB_BRIDGE_DIR");
    const char *list = std::getenv("SIMUSB_DEVICES");
    if (bridgeRead || !dir || !list)
        return;
    bridgeRead = true;
    std::string spec(list);
    size_t start = 0;
    while (start <= spec.size()) {
        size_t end = spec.find(',', start);
        if (end == std::string::npos)
            end = spec.size();
        std::string item = spec.substr(start, end - start);
        start = end + 1;
        if (item.empty())
            continue;
        const bool absent = item[0] == '!';
        if (absent)
            item.erase(0, 1);
        int productId = 1;
        size_t colon = item.find(':');
        if (colon != std::string::npos) {
            productId = int(std::strtol(item.c_str() + colon + 1, nullptr, 16));
            item.resize(colon);
        }
        size_t dash = item.find('-');
        int bus = std::atoi(item.c_str());
        std::string ports = dash == std::string::npos ? std::string() : item.substr(dash + 1);
        int n = addDevice(bus, ports.c_str(), 0x2912, productId);
        devices[n]->socketPath = std::string(dir) + "/dev" + std::to_string(n);
        devices[n]->present = !absent;
    }
    bridgeDir = dir;
}

void setPresent(libusb_device *dev, bool present)
{
    if (dev->present == present)
        return;
    dev->present = present;
    dev->unplugged = !present;
    queueEvent(dev, present ? LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED : LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
    changed.notify_all();
}

// Plug and unplug requests of a test in another process.
void checkBridgeTriggers()
{
    if (bridgeDir.empty())
        return;
    for (auto &dev : devices) {
        const std::string n = std::to_string(dev->number);
        if (unlink((bridgeDir + "/plug" + n).c_str()) == 0)
            setPresent(dev.get(), true);
        if (unlink((bridgeDir + "/unplug" + n).c_str()) == 0)
            setPresent(dev.get(), false);
    }
}

int connectBridge(libusb_device *dev)
{
    if (dev->fdEnded) {
        // The old connection ended; by now its handle is closed.
        close(dev->fd);
        dev->fd = -1;
        dev->fdEnded = false;
    }
    if (dev->socketPath.empty() || dev->fd >= 0)
        return 0;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, dev->socketPath.c_str(), sizeof addr.sun_path - 1);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        if (fd >= 0)
            close(fd);
        return LIBUSB_ERROR_NO_DEVICE;
    }
    dev->fd = fd;
    return 0;
}

[[maybe_unused]] const char *errorName(int code)
{
    switch (code) {
    case LIBUSB_SUCCESS: return "Success";
    case LIBUSB_ERROR_IO: return "Input/Output Error";
    case LIBUSB_ERROR_INVALID_PARAM: return "Invalid parameter";
    case LIBUSB_ERROR_ACCESS: return "Access denied (insufficient permissions)";
    case LIBUSB_ERROR_NO_DEVICE: return "No such device (it may have been disconnected)";
    case LIBUSB_ERROR_NOT_FOUND: return "Entity not found";
    case LIBUSB_ERROR_BUSY: return "Resource busy";
    case LIBUSB_ERROR_TIMEOUT: return "Operation timed out";
    case LIBUSB_ERROR_OVERFLOW: return "Overflow";
    case LIBUSB_ERROR_PIPE: return "Pipe error";
    case LIBUSB_ERROR_INTERRUPTED: return "System call interrupted (perhaps due to signal)";
    case LIBUSB_ERROR_NO_MEM: return "Insufficient memory";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "Operation not supported or unimplemented on this platform";
    default: return "Other error";
    }
}

} // namespace

// ---- libusb entry points ------------------------------------------------

SIM_API int libusb_init(libusb_context **ctx)
{
    std::lock_guard<std::mutex> guard(lock);
    setUpBridge();
    ++inits;
    if (!ctx)
        return 0;
    *ctx = new libusb_context;
    contexts.insert(*ctx);
    return 0;
}

SIM_API void libusb_exit(libusb_context *ctx)
{
    std::lock_guard<std::mutex> guard(lock);
    if (ctx && contexts.erase(ctx))
        delete ctx;
}

#ifndef SIMUSB_NO_STRERROR
SIM_API const char *libusb_strerror(int code)
{
    return errorName(code);
}
#endif

SIM_API int libusb_open(libusb_device *dev, libusb_device_handle **handle)
{
    std::lock_guard<std::mutex> guard(lock);
    if (!dev->present || dev->unplugged)
        return LIBUSB_ERROR_NO_DEVICE;
    if (dev->openResult != 0)
        return dev->openResult;
    if (int r = connectBridge(dev))
        return r;
    *handle = new libusb_device_handle{dev};
    ++dev->opens;
    ++liveHandles;
    ++refs;
    return 0;
}

SIM_API void libusb_close(libusb_device_handle *handle)
{
    std::lock_guard<std::mutex> guard(lock);
    if (!handle)
        return;
    std::fill(std::begin(handle->dev->claimed), std::end(handle->dev->claimed), false);
    if (handle->dev->readsInProgress > 0)
        ++handle->dev->closesDuringRead;
    --liveHandles;
    --refs;
    delete handle;
}

SIM_API libusb_device *libusb_get_device(libusb_device_handle *handle)
{
    return handle->dev;
}

SIM_API int libusb_claim_interface(libusb_device_handle *handle, int iface)
{
    std::lock_guard<std::mutex> guard(lock);
    libusb_device *dev = handle->dev;
    if (iface < 0 || iface >= 8)
        return LIBUSB_ERROR_NOT_FOUND;
    if (dev->unplugged)
        return LIBUSB_ERROR_NO_DEVICE;
    if (dev->claimResult[iface] == 0)
        dev->claimed[iface] = true;
    return dev->claimResult[iface];
}

SIM_API int libusb_release_interface(libusb_device_handle *handle, int iface)
{
    std::lock_guard<std::mutex> guard(lock);
    if (iface < 0 || iface >= 8 || !handle->dev->claimed[iface])
        return LIBUSB_ERROR_NOT_FOUND;
    handle->dev->claimed[iface] = false;
    return 0;
}

SIM_API libusb_device_handle *libusb_open_device_with_vid_pid(libusb_context *, uint16_t, uint16_t)
{
    return nullptr;
}

SIM_API int libusb_clear_halt(libusb_device_handle *handle, unsigned char)
{
    std::lock_guard<std::mutex> guard(lock);
    ++handle->dev->clearHalts;
    return handle->dev->unplugged ? LIBUSB_ERROR_NO_DEVICE : 0;
}

SIM_API int libusb_reset_device(libusb_device_handle *)
{
    return 0;
}

SIM_API int libusb_set_auto_detach_kernel_driver(libusb_device_handle *, int)
{
    return 0;
}

SIM_API int libusb_control_transfer(libusb_device_handle *handle, uint8_t requestType, uint8_t request,
                                    uint16_t value, uint16_t index, unsigned char *, uint16_t, unsigned int)
{
    std::lock_guard<std::mutex> guard(lock);
    if (handle->dev->unplugged)
        return LIBUSB_ERROR_NO_DEVICE;
    handle->dev->controls.push_back({requestType, request, value, index});
    return 0;
}

SIM_API int libusb_bulk_transfer(libusb_device_handle *handle, unsigned char endpoint, unsigned char *data,
                                 int length, int *transferred, unsigned int timeout)
{
    libusb_device *dev = handle->dev;
    *transferred = 0;
    std::unique_lock<std::mutex> guard(lock);
    if (!(endpoint & LIBUSB_ENDPOINT_IN)) {
        if (dev->holdWrites) {
            // A device that takes no OUT transfer: held (a test's bound of
            // 30 s aside) until released.
            ++dev->writesInProgress;
            changed.wait_for(guard, std::chrono::seconds(30), [dev] { return !dev->holdWrites || dev->unplugged; });
            --dev->writesInProgress;
        }
        if (dev->unplugged)
            return LIBUSB_ERROR_NO_DEVICE;
        if (!dev->writeResults.empty()) {
            const ReadResult r = dev->writeResults.front();
            dev->writeResults.pop_front();
            const int n = std::min(length, int(r.bytes.size()));
            dev->writes.push_back({endpoint, std::vector<unsigned char>(data, data + n)});
            *transferred = n;
            return r.result;
        }
        dev->writes.push_back({endpoint, std::vector<unsigned char>(data, data + length)});
        const int fd = dev->fd;
        guard.unlock();
        int done = 0;
        while (fd >= 0 && done < length) {
            ssize_t n = send(fd, data + done, size_t(length - done), MSG_NOSIGNAL);
            if (n <= 0)
                return LIBUSB_ERROR_IO;
            done += int(n);
        }
        *transferred = length;
        return 0;
    }

    dev->readEndpoints.push_back(endpoint);
    ++dev->readsInProgress;
    struct Done
    {
        libusb_device *dev;
        ~Done() { --dev->readsInProgress; } // runs with the lock held: every path below ends locked
    } done{dev};
    if (!bridgeDir.empty()) {
        // While the file "<dir>/hold<i>" exists the transfer waits past its
        // time-out, as with simusb_hold_reads (a bound of 60 s aside).
        const std::string hold = bridgeDir + "/hold" + std::to_string(dev->number);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (access(hold.c_str(), F_OK) == 0 && std::chrono::steady_clock::now() < until)
            changed.wait_for(guard, std::chrono::milliseconds(50));
    }
    if (dev->fd >= 0) {
        const int fd = dev->fd;
        guard.unlock();
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, timeout ? int(timeout) : -1);
        const ssize_t n = ready > 0 ? recv(fd, data, size_t(length), 0) : -1;
        guard.lock();
        if (ready == 0)
            return LIBUSB_ERROR_TIMEOUT;
        if (n > 0) {
            *transferred = int(n);
            return 0;
        }
        // The test ended the connection: an I/O error, and a new
        // connection at the next open.
        dev->fdEnded = true;
        return LIBUSB_ERROR_IO;
    }

    auto ready = [dev] { return dev->unplugged || !dev->in.empty() || !dev->readResults.empty(); };
    if (dev->holdReads) {
        // Held past its time-out (a test's bound of 30 s aside) until released.
        changed.wait_for(guard, std::chrono::seconds(30), [dev] { return !dev->holdReads; });
        timeout = 1;
    }
    if (timeout)
        changed.wait_for(guard, std::chrono::milliseconds(timeout), ready);
    else
        changed.wait(guard, ready);
    if (!dev->readResults.empty()) {
        ReadResult r = std::move(dev->readResults.front());
        dev->readResults.pop_front();
        const int n = std::min(length, int(r.bytes.size()));
        std::copy(r.bytes.begin(), r.bytes.begin() + n, data);
        *transferred = n;
        return r.result;
    }
    if (dev->unplugged)
        return LIBUSB_ERROR_NO_DEVICE;
    if (dev->in.empty())
        return LIBUSB_ERROR_TIMEOUT;
    const int n = std::min(length, int(dev->in.size()));
    for (int i = 0; i < n; ++i) {
        data[i] = dev->in.front();
        dev->in.pop_front();
    }
    *transferred = n;
    return 0;
}

SIM_API int libusb_get_active_config_descriptor(libusb_device *, libusb_config_descriptor **)
{
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

SIM_API void libusb_free_config_descriptor(libusb_config_descriptor *) {}

SIM_API int libusb_attach_kernel_driver(libusb_device_handle *handle, int iface)
{
    std::lock_guard<std::mutex> guard(lock);
    if (iface < 0 || iface >= 8)
        return LIBUSB_ERROR_NOT_FOUND;
    ++handle->dev->attaches;
    handle->dev->kernelDriver[iface] = 1;
    return 0;
}

SIM_API int libusb_detach_kernel_driver(libusb_device_handle *handle, int iface)
{
    std::lock_guard<std::mutex> guard(lock);
    libusb_device *dev = handle->dev;
    if (iface < 0 || iface >= 8)
        return LIBUSB_ERROR_NOT_FOUND;
    ++dev->detaches;
    if (dev->detachResult == 0)
        dev->kernelDriver[iface] = 0;
    return dev->detachResult;
}

SIM_API int libusb_kernel_driver_active(libusb_device_handle *handle, int iface)
{
    std::lock_guard<std::mutex> guard(lock);
    if (iface < 0 || iface >= 8)
        return LIBUSB_ERROR_NOT_FOUND;
    return handle->dev->kernelDriver[iface];
}

SIM_API int libusb_get_max_packet_size(libusb_device *, unsigned char)
{
    return 64;
}

SIM_API int libusb_get_configuration(libusb_device_handle *handle, int *config)
{
    if (handle->dev->unplugged)
        return LIBUSB_ERROR_NO_DEVICE;
    *config = 1;
    return 0;
}

SIM_API int libusb_set_configuration(libusb_device_handle *, int)
{
    return 0;
}

SIM_API ssize_t libusb_get_device_list(libusb_context *, libusb_device ***list)
{
    std::lock_guard<std::mutex> guard(lock);
    checkBridgeTriggers();
    if (listResult != 0)
        return listResult;
    std::vector<libusb_device *> present;
    for (auto &dev : devices)
        if (dev->present)
            present.push_back(dev.get());
    *list = static_cast<libusb_device **>(calloc(present.size() + 1, sizeof(libusb_device *)));
    std::copy(present.begin(), present.end(), *list);
    refs += int(present.size());
    return ssize_t(present.size());
}

SIM_API void libusb_free_device_list(libusb_device **list, int unref)
{
    if (!list)
        return;
    std::lock_guard<std::mutex> guard(lock);
    if (unref)
        for (libusb_device **p = list; *p; ++p)
            --refs;
    free(list);
}

SIM_API int libusb_get_string_descriptor_ascii(libusb_device_handle *handle, uint8_t index, unsigned char *data,
                                               int length)
{
    if (handle->dev->unplugged)
        return LIBUSB_ERROR_NO_DEVICE;
    if (index == 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    const std::string text = "SIM" + std::to_string(handle->dev->number);
    const int n = std::min(length - 1, int(text.size()));
    std::memcpy(data, text.data(), size_t(n));
    data[n] = 0;
    return n;
}

SIM_API int libusb_get_device_descriptor(libusb_device *dev, libusb_device_descriptor *desc)
{
    std::memset(desc, 0, sizeof *desc);
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = uint16_t(dev->vendorId);
    desc->idProduct = uint16_t(dev->productId);
    desc->bNumConfigurations = 1;
    return 0;
}

SIM_API int libusb_get_port_numbers(libusb_device *dev, uint8_t *ports, int length)
{
    if (int(dev->ports.size()) > length)
        return LIBUSB_ERROR_OVERFLOW;
    std::copy(dev->ports.begin(), dev->ports.end(), ports);
    return int(dev->ports.size());
}

SIM_API uint8_t libusb_get_bus_number(libusb_device *dev)
{
    return uint8_t(dev->bus);
}

SIM_API int libusb_has_capability(uint32_t capability)
{
    std::lock_guard<std::mutex> guard(lock);
    return capability == LIBUSB_CAP_HAS_HOTPLUG ? hotplugCapability : 1;
}

#ifndef SIMUSB_NO_HOTPLUG
SIM_API int libusb_hotplug_register_callback(libusb_context *ctx, int events, int flags, int vendorId,
                                             int productId, int deviceClass, libusb_hotplug_callback_fn fn,
                                             void *user, libusb_hotplug_callback_handle *handle)
{
    std::unique_lock<std::mutex> guard(lock);
    if (!ctx || !contexts.count(ctx))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (registerResult != 0)
        return registerResult;
    Callback cb{nextCallback++, events, vendorId, productId, deviceClass, fn, user};
    ctx->callbacks.push_back(cb);
    if (handle)
        *handle = cb.handle;
    if (flags & LIBUSB_HOTPLUG_ENUMERATE) {
        std::vector<libusb_device *> present;
        for (auto &dev : devices)
            if (dev->present && matches(cb, dev.get(), LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED))
                present.push_back(dev.get());
        guard.unlock();
        for (libusb_device *dev : present)
            fn(ctx, dev, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, user);
    }
    return 0;
}
#endif

SIM_API void libusb_hotplug_deregister_callback(libusb_context *ctx, libusb_hotplug_callback_handle handle)
{
    std::lock_guard<std::mutex> guard(lock);
    if (!ctx || !contexts.count(ctx))
        return;
    auto &cbs = ctx->callbacks;
    cbs.erase(std::remove_if(cbs.begin(), cbs.end(), [handle](const Callback &c) { return c.handle == handle; }),
              cbs.end());
    // Like libusb, a deregistration wakes a thread blocked in event handling.
    ctx->wake = true;
    changed.notify_all();
}

SIM_API void libusb_interrupt_event_handler(libusb_context *ctx)
{
    std::lock_guard<std::mutex> guard(lock);
    if (!ctx || !contexts.count(ctx))
        return;
    ctx->wake = true;
    changed.notify_all();
}

SIM_API int libusb_handle_events(libusb_context *ctx)
{
    std::unique_lock<std::mutex> guard(lock);
    ++handleEventsCalls;
    if (!ctx || !contexts.count(ctx))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (handleEventsResult != 0)
        return handleEventsResult;
    // libusb's own event wait is 60 s.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    auto due = [ctx] { return ctx->wake || !ctx->events.empty(); };
    while (!due() && std::chrono::steady_clock::now() < deadline) {
        checkBridgeTriggers();
        if (bridgeDir.empty())
            changed.wait_until(guard, deadline, due);
        else
            changed.wait_for(guard, std::chrono::milliseconds(50), due);
    }
    ctx->wake = false;
    std::deque<Event> events;
    events.swap(ctx->events);
    for (const Event &ev : events) {
        auto it = std::find_if(ctx->callbacks.begin(), ctx->callbacks.end(),
                               [&ev](const Callback &c) { return c.handle == ev.callback; });
        if (it == ctx->callbacks.end())
            continue;
        const Callback cb = *it;
        guard.unlock();
        const int done = cb.fn(ctx, ev.dev, ev.event, cb.user);
        guard.lock();
        if (done) {
            auto &cbs = ctx->callbacks;
            cbs.erase(std::remove_if(cbs.begin(), cbs.end(), [&cb](const Callback &c) { return c.handle == cb.handle; }),
                      cbs.end());
        }
    }
    return 0;
}

// ---- control functions for the tests ------------------------------------

SIM_API void simusb_reset(void)
{
    std::lock_guard<std::mutex> guard(lock);
    registerResult = 0;
    listResult = 0;
    hotplugCapability = 1;
    for (auto &dev : devices) {
        dev->present = false;
        dev->unplugged = true;
    }
    changed.notify_all();
    // Devices stay allocated: a handle still open may point to one.
    for (auto &dev : devices)
        dev->number = -1;
    std::vector<std::unique_ptr<libusb_device>> keep;
    keep.swap(devices);
    static std::vector<std::unique_ptr<libusb_device>> retired;
    for (auto &dev : keep)
        retired.push_back(std::move(dev));
}

SIM_API int simusb_add_device(int bus, const char *ports, int vendorId, int productId)
{
    std::lock_guard<std::mutex> guard(lock);
    return addDevice(bus, ports, vendorId, productId);
}

#define WITH_DEVICE(n)                         \
    std::lock_guard<std::mutex> guard(lock);   \
    libusb_device *dev = device(n);            \
    if (!dev)

SIM_API void simusb_set_open_result(int n, int result)
{
    WITH_DEVICE(n) return;
    dev->openResult = result;
}

SIM_API void simusb_set_kernel_driver(int n, int iface, int result)
{
    WITH_DEVICE(n) return;
    if (iface >= 0 && iface < 8)
        dev->kernelDriver[iface] = result;
}

SIM_API void simusb_set_detach_result(int n, int result)
{
    WITH_DEVICE(n) return;
    dev->detachResult = result;
}

SIM_API void simusb_set_claim_result(int n, int iface, int result)
{
    WITH_DEVICE(n) return;
    if (iface >= 0 && iface < 8)
        dev->claimResult[iface] = result;
}

SIM_API void simusb_push_in(int n, const void *data, int length)
{
    WITH_DEVICE(n) return;
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    dev->in.insert(dev->in.end(), bytes, bytes + length);
    changed.notify_all();
}

SIM_API void simusb_push_read_result(int n, int result, const void *data, int length)
{
    WITH_DEVICE(n) return;
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    dev->readResults.push_back({result, std::vector<unsigned char>(bytes, bytes + length)});
    changed.notify_all();
}

SIM_API void simusb_push_write_result(int n, int result, int sent)
{
    WITH_DEVICE(n) return;
    dev->writeResults.push_back({result, std::vector<unsigned char>(size_t(std::max(sent, 0)))});
}

SIM_API void simusb_hold_reads(int n, int hold)
{
    WITH_DEVICE(n) return;
    dev->holdReads = hold != 0;
    changed.notify_all();
}

SIM_API void simusb_hold_writes(int n, int hold)
{
    WITH_DEVICE(n) return;
    dev->holdWrites = hold != 0;
    changed.notify_all();
}

SIM_API int simusb_writes_in_progress(int n)
{
    WITH_DEVICE(n) return 0;
    return dev->writesInProgress;
}

SIM_API void simusb_set_register_result(int result)
{
    std::lock_guard<std::mutex> guard(lock);
    registerResult = result;
}

SIM_API void simusb_set_list_result(int result)
{
    std::lock_guard<std::mutex> guard(lock);
    listResult = result;
}

SIM_API void simusb_set_hotplug_capability(int capable)
{
    std::lock_guard<std::mutex> guard(lock);
    hotplugCapability = capable;
}

SIM_API int simusb_reads_in_progress(int n)
{
    WITH_DEVICE(n) return 0;
    return dev->readsInProgress;
}

SIM_API int simusb_closes_during_read(int n)
{
    WITH_DEVICE(n) return 0;
    return dev->closesDuringRead;
}

SIM_API int simusb_clear_halt_count(int n)
{
    WITH_DEVICE(n) return 0;
    return dev->clearHalts;
}

SIM_API void simusb_unplug(int n)
{
    WITH_DEVICE(n) return;
    setPresent(dev, false);
}

SIM_API void simusb_plug(int n)
{
    WITH_DEVICE(n) return;
    setPresent(dev, true);
}

SIM_API int simusb_write_count(int n)
{
    WITH_DEVICE(n) return 0;
    return int(dev->writes.size());
}

SIM_API int simusb_write_at(int n, int i, int *endpoint, void *buffer, int room)
{
    WITH_DEVICE(n) return -1;
    if (i < 0 || i >= int(dev->writes.size()))
        return -1;
    const Write &w = dev->writes[size_t(i)];
    *endpoint = w.endpoint;
    const int len = std::min(room, int(w.bytes.size()));
    std::memcpy(buffer, w.bytes.data(), size_t(len));
    return int(w.bytes.size());
}

SIM_API int simusb_read_count(int n)
{
    WITH_DEVICE(n) return 0;
    return int(dev->readEndpoints.size());
}

SIM_API int simusb_read_endpoint_at(int n, int i)
{
    WITH_DEVICE(n) return -1;
    if (i < 0 || i >= int(dev->readEndpoints.size()))
        return -1;
    return dev->readEndpoints[size_t(i)];
}

SIM_API int simusb_control_count(int n)
{
    WITH_DEVICE(n) return 0;
    return int(dev->controls.size());
}

SIM_API void simusb_control_at(int n, int i, int *requestType, int *request, int *value, int *index)
{
    WITH_DEVICE(n) return;
    if (i < 0 || i >= int(dev->controls.size()))
        return;
    const Control &c = dev->controls[size_t(i)];
    *requestType = c.requestType;
    *request = c.request;
    *value = c.value;
    *index = c.index;
}

SIM_API int simusb_open_count(int n)
{
    WITH_DEVICE(n) return 0;
    return dev->opens;
}

SIM_API int simusb_claimed(int n, int iface)
{
    WITH_DEVICE(n) return 0;
    return iface >= 0 && iface < 8 && dev->claimed[iface];
}

SIM_API int simusb_detach_count(int n)
{
    WITH_DEVICE(n) return 0;
    return dev->detaches;
}

SIM_API int simusb_attach_count(int n)
{
    WITH_DEVICE(n) return 0;
    return dev->attaches;
}

SIM_API int simusb_init_count(void)
{
    std::lock_guard<std::mutex> guard(lock);
    return inits;
}

SIM_API int simusb_live_contexts(void)
{
    std::lock_guard<std::mutex> guard(lock);
    return int(contexts.size());
}

SIM_API int simusb_live_handles(void)
{
    std::lock_guard<std::mutex> guard(lock);
    return liveHandles;
}

SIM_API int simusb_device_refs(void)
{
    std::lock_guard<std::mutex> guard(lock);
    return refs;
}

SIM_API int simusb_hotplug_callbacks(void)
{
    std::lock_guard<std::mutex> guard(lock);
    int count = 0;
    for (libusb_context *ctx : contexts)
        count += int(ctx->callbacks.size());
    return count;
}

SIM_API int simusb_handle_events_calls(void)
{
    std::lock_guard<std::mutex> guard(lock);
    return handleEventsCalls;
}

SIM_API void simusb_set_handle_events_result(int result)
{
    std::lock_guard<std::mutex> guard(lock);
    handleEventsResult = result;
    // Ends a wait in progress, so that the next call meets the result.
    for (libusb_context *ctx : contexts)
        ctx->wake = true;
    changed.notify_all();
}

SIM_API int simusb_queued_events(void)
{
    std::lock_guard<std::mutex> guard(lock);
    int count = 0;
    for (libusb_context *ctx : contexts)
        count += int(ctx->events.size());
    return count;
}
