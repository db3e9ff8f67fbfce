# The stand-ins of the USB module and the USB server that the usb and app
# tests run: the product builds, and module builds with another version,
# without a version and without vhcExec, each in a directory of its own.
set(QDK_TEST_MODULE_DIRECTORY ${CMAKE_BINARY_DIR}/tests/usb-modules)
qdk_add_usb_module(VirtualHereServer_14_0_12 ${QDK_TEST_MODULE_DIRECTORY}/v14.0.12 QDK_VH_MODULE_VERSION="14.0.12")
qdk_add_usb_module(VirtualHereServer_14_1_0 ${QDK_TEST_MODULE_DIRECTORY}/v14.1.0 QDK_VH_MODULE_VERSION="14.1.0")
qdk_add_usb_module(VirtualHereServer_14_0 ${QDK_TEST_MODULE_DIRECTORY}/v14.0 QDK_VH_MODULE_VERSION="14.0")
qdk_add_usb_module(VirtualHereServer_null ${QDK_TEST_MODULE_DIRECTORY}/null-version QDK_VH_MODULE_NULL_VERSION)
qdk_add_usb_module(VirtualHereServer_no_exec ${QDK_TEST_MODULE_DIRECTORY}/no-vhcexec QDK_VH_MODULE_WITHOUT_VHCEXEC)
set(QDK_TEST_MODULE_VARIANTS VirtualHereServer VirtualHereServer_14_0_12 VirtualHereServer_14_1_0
  VirtualHereServer_14_0 VirtualHereServer_null VirtualHereServer_no_exec)

foreach(program usb app)
  add_dependencies(${program}_tests qdvhwin64 ${QDK_TEST_MODULE_VARIANTS})
  target_compile_definitions(${program}_tests PRIVATE
    USB_SERVER_PROGRAM="$<TARGET_FILE:qdvhwin64>"
    USB_MODULE_FILE="$<TARGET_FILE:VirtualHereServer>"
    USB_TEST_MODULE_DIRECTORY="${QDK_TEST_MODULE_DIRECTORY}")
endforeach()
