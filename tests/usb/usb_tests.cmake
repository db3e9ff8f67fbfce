# USB forwarding: process helpers, the vhproxy link and daemon, service
# control and the vhProxy commands.
qdk_add_test_program(usb qor_usb)
