# Who holds the other end of a loopback connection: real sockets of this
# and of another user, each test in network and process namespaces of its
# own (its closing sockets stay out of the machine's table).
set(QDK_TEST_WRAPPER ${CMAKE_CURRENT_LIST_DIR}/../support/own-namespaces.sh)
qdk_add_test_program(peer qor_peer)
unset(QDK_TEST_WRAPPER)
