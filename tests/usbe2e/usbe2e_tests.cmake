# USB sharing end to end: the client's connection and USB support, the
# daemon vhproxy, the USB module's server qdvhwin64 on a device file, and
# the demo server playing the server and the remote USB client, with the
# page played by the test. Each test runs in network and process namespaces
# of its own (the daemon's port 7679 is fixed). No display: the suite also
# runs under the sanitizers.
set(QDK_TEST_WRAPPER ${CMAKE_CURRENT_LIST_DIR}/../support/own-namespaces.sh)
qdk_add_test_program(usbe2e qor_app qor_nativeclient qor_usb qor_tunnel Poco::Net Poco::JSON)
unset(QDK_TEST_WRAPPER)
qdk_use_demo_server(usbe2e_tests)
target_link_libraries(usbe2e_tests PRIVATE qdk_connection_fixture)
target_sources(usbe2e_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/../usb/LinkTestSupport.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../usb/ServiceTestSupport.cpp)
target_include_directories(usbe2e_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/../nativeclient ${CMAKE_CURRENT_LIST_DIR}/../usb)
add_dependencies(usbe2e_tests vhproxy qdvhwin64 VirtualHereServer systemctl-double)
target_compile_definitions(usbe2e_tests PRIVATE
  VHPROXY_PROGRAM="$<TARGET_FILE:vhproxy>"
  USB_SERVER_PROGRAM="$<TARGET_FILE:qdvhwin64>"
  USB_MODULE_FILE="$<TARGET_FILE:VirtualHereServer>"
  SYSTEMCTL_DOUBLE="$<TARGET_FILE:systemctl-double>")
