#pragma once

// Control functions of the simulated libusb (simusb.cpp). Tests reach them
// with dlsym on the same file the binding loads (see simusbcontrol.h).

#ifdef __cplusplus
extern "C" {
#endif

// Forgets every device (handles still open keep working until closed).
void simusb_reset(void);
// Adds a present device; ports like "4.2" (empty for a root device). Returns its number.
int simusb_add_device(int bus, const char *ports, int vendorId, int productId);
void simusb_set_open_result(int dev, int result);
// Result of libusb_kernel_driver_active for an interface (0 none, 1 bound, <0 error).
void simusb_set_kernel_driver(int dev, int iface, int result);
void simusb_set_detach_result(int dev, int result);
void simusb_set_claim_result(int dev, int iface, int result);
// Bytes the device will send on its IN endpoint.
void simusb_push_in(int dev, const void *data, int length);
// The next IN transfer ends at once with this result and these bytes.
void simusb_push_read_result(int dev, int result, const void *data, int length);
// The next OUT transfer ends with this result after sending this many bytes.
void simusb_push_write_result(int dev, int result, int sent);
// While held, IN transfers wait past their time-out until released.
void simusb_hold_reads(int dev, int hold);
int simusb_reads_in_progress(int dev);
// While held, OUT transfers wait until released (a device taking no OUT).
void simusb_hold_writes(int dev, int hold);
int simusb_writes_in_progress(int dev);
// From now on the hot-plug registration returns this at once (0: works).
void simusb_set_register_result(int result);
// From now on listing the devices returns this at once (0: works).
void simusb_set_list_result(int result);
// What libusb_has_capability answers for hot-plug (1 by default).
void simusb_set_hotplug_capability(int capable);
// Handles closed while an IN transfer of the device was in progress.
int simusb_closes_during_read(int dev);
int simusb_clear_halt_count(int dev);
// Transfers fail with LIBUSB_ERROR_NO_DEVICE; the device leaves the list.
void simusb_unplug(int dev);
// The device (back) in the list, transfers work again.
void simusb_plug(int dev);

int simusb_write_count(int dev);
// Copies write i into buffer; returns its length, endpoint in *endpoint.
int simusb_write_at(int dev, int i, int *endpoint, void *buffer, int room);
int simusb_read_count(int dev);
int simusb_read_endpoint_at(int dev, int i);
int simusb_control_count(int dev);
// Request type, request, value and index of control transfer i.
void simusb_control_at(int dev, int i, int *requestType, int *request, int *value, int *index);
int simusb_open_count(int dev);
int simusb_claimed(int dev, int iface);
int simusb_detach_count(int dev);
int simusb_attach_count(int dev);

// Calls of libusb_init so far.
int simusb_init_count(void);
int simusb_live_contexts(void);
int simusb_live_handles(void);
// References held on devices through lists and handles.
int simusb_device_refs(void);
int simusb_hotplug_callbacks(void);
int simusb_handle_events_calls(void);
// From now on libusb_handle_events returns this at once (0: waits again).
void simusb_set_handle_events_result(int result);
// Hot-plug events not yet taken by libusb_handle_events.
int simusb_queued_events(void);

#ifdef __cplusplus
}
#endif
