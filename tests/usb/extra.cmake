# The simulated libusb, named as the binding expects it beside an executable.
function(kiv_simusb target outdir)
  add_library(${target} SHARED ${CMAKE_CURRENT_SOURCE_DIR}/usb/simusb.cpp ${CMAKE_CURRENT_SOURCE_DIR}/usb/simusb.h)
  set_target_properties(${target} PROPERTIES
    PREFIX "" OUTPUT_NAME "libusb-1.0" SUFFIX ".so.0"
    LIBRARY_OUTPUT_DIRECTORY ${outdir}
    CXX_VISIBILITY_PRESET hidden AUTOMOC OFF)
  target_compile_definitions(${target} PRIVATE ${ARGN})
endfunction()

# Beside every test executable of this build.
kiv_simusb(simusb ${CMAKE_CURRENT_BINARY_DIR})

# Variants, each in a directory of its own with a probe program that loads it.
foreach(variant nostrerror nohotplug missing)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/usb-${variant})
  add_executable(usblibprobe_${variant} ${CMAKE_CURRENT_SOURCE_DIR}/usb/usblibprobe.cpp)
  target_link_libraries(usblibprobe_${variant} PRIVATE kiv_usb)
  set_target_properties(usblibprobe_${variant} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${out} OUTPUT_NAME usblibprobe)
  add_dependencies(usb_tst_usblib usblibprobe_${variant})
endforeach()
kiv_simusb(simusb_nostrerror ${CMAKE_CURRENT_BINARY_DIR}/usb-nostrerror SIMUSB_NO_STRERROR)
kiv_simusb(simusb_nohotplug ${CMAKE_CURRENT_BINARY_DIR}/usb-nohotplug SIMUSB_NO_HOTPLUG)
add_dependencies(usb_tst_usblib simusb_nostrerror simusb_nohotplug)
target_compile_definitions(usb_tst_usblib PRIVATE USB_PROBE_ROOT="${CMAKE_CURRENT_BINARY_DIR}")

file(GLOB usb_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/usb/tst_*.cpp)
foreach(src ${usb_tests})
  get_filename_component(name ${src} NAME_WE)
  add_dependencies(usb_${name} simusb)
endforeach()

# The end-to-end USB tests (defined after this directory) copy the service
# and the simulated library into a directory of their own.
function(kiv_simusb_e2e)
  file(GLOB e2e_tests ${CMAKE_CURRENT_SOURCE_DIR}/e2e/tst_usb*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/e2e/tst_notify.cpp)
  foreach(src ${e2e_tests})
    get_filename_component(name ${src} NAME_WE)
    if(TARGET e2e_${name})
      add_dependencies(e2e_${name} simusb)
      target_compile_definitions(e2e_${name} PRIVATE SIMUSB_LIBRARY="$<TARGET_FILE:simusb>")
    endif()
  endforeach()
endfunction()
cmake_language(DEFER CALL kiv_simusb_e2e)

# The worker against the real libusb and a device emulated by umockdev, in a
# directory of its own where libusb-1.0.so.0 is the system's library.
pkg_check_modules(UMOCKDEV IMPORTED_TARGET umockdev-1.0)
find_library(KIV_TEST_SYSTEM_LIBUSB NAMES libusb-1.0.so.0 usb-1.0)
find_library(KIV_UMOCKDEV_PRELOAD NAMES libumockdev-preload.so.0 umockdev-preload)
if(UMOCKDEV_FOUND AND KIV_TEST_SYSTEM_LIBUSB AND KIV_UMOCKDEV_PRELOAD)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/usb-umockdev)
  get_filename_component(real_libusb ${KIV_TEST_SYSTEM_LIBUSB} REALPATH)
  add_executable(usb_umockdevworker ${CMAKE_CURRENT_SOURCE_DIR}/usb/umockdevworker.cpp)
  target_link_libraries(usb_umockdevworker PRIVATE kiv_usb Qt6::Test PkgConfig::UMOCKDEV
    -Wl,--no-as-needed ${KIV_UMOCKDEV_PRELOAD} -Wl,--as-needed)
  set_target_properties(usb_umockdevworker PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${out})
  add_custom_command(TARGET usb_umockdevworker POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E create_symlink ${real_libusb} ${out}/libusb-1.0.so.0 VERBATIM)
  add_test(NAME usb/umockdevworker COMMAND usb_umockdevworker)
  # The preload library sits in the initial library list next to the sanitizer runtime.
  set_tests_properties(usb/umockdevworker PROPERTIES TIMEOUT 300
    ENVIRONMENT_MODIFICATION "ASAN_OPTIONS=string_append::verify_asan_link_order=0")
endif()
