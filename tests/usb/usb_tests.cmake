# USB forwarding: process helpers, the vhproxy link and daemon, service
# control and the vhProxy commands. Each test runs in a network namespace of
# its own, so that the daemon's fixed port 7679 never clashes.
set(QDK_TEST_WRAPPER ${CMAKE_CURRENT_LIST_DIR}/../support/own-network.sh)
qdk_add_test_program(usb qor_usb)
unset(QDK_TEST_WRAPPER)
add_dependencies(usb_tests vhproxy)
target_compile_definitions(usb_tests PRIVATE
  VHPROXY_PROGRAM="$<TARGET_FILE:vhproxy>")
