# The decoder-thread tests feed the decoder tests' streams: the same folder,
# the same fixture that makes them, and the helpers that read them.
target_sources(nativeclient_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/decoders/TestStreams.cpp)
target_include_directories(nativeclient_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/decoders)
target_compile_definitions(nativeclient_tests PRIVATE
  QDK_DECODER_STREAMS="${QDK_DECODER_STREAMS}"
  QDK_MAKE_STREAMS="${QDK_MAKE_STREAMS}")

file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/nativeclient_fixture.cmake
  "set_tests_properties(\${nativeclient_tests_TESTS} PROPERTIES FIXTURES_REQUIRED decoderStreams)\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_CURRENT_BINARY_DIR}/nativeclient_fixture.cmake)
