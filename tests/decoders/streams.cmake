# Test streams of the decoder tests: made by ffmpeg in a fixture before the
# decoder tests of a ctest run and removed after them. A test program run
# outside ctest makes them itself on first use.
set(QDK_DECODER_STREAMS ${CMAKE_CURRENT_BINARY_DIR}/decoder-streams)
set(QDK_MAKE_STREAMS ${CMAKE_CURRENT_SOURCE_DIR}/decoders/make-streams.sh)
target_compile_definitions(decoders_tests PRIVATE
  QDK_DECODER_STREAMS="${QDK_DECODER_STREAMS}"
  QDK_MAKE_STREAMS="${QDK_MAKE_STREAMS}"
  QDK_DECODE_TOOL="$<TARGET_FILE:qdk-decode>")
add_dependencies(decoders_tests qdk-decode)

add_test(NAME decoders.makeStreams
  COMMAND flock ${QDK_DECODER_STREAMS}.lock sh ${QDK_MAKE_STREAMS} ${QDK_DECODER_STREAMS})
# Started first (COST): the decoder and decoder-thread tests all wait for it.
set_tests_properties(decoders.makeStreams PROPERTIES FIXTURES_SETUP decoderStreams LABELS decoders COST 100)
add_test(NAME decoders.removeStreams COMMAND ${CMAKE_COMMAND} -E rm -rf ${QDK_DECODER_STREAMS})
set_tests_properties(decoders.removeStreams PROPERTIES FIXTURES_CLEANUP decoderStreams LABELS decoders)

# Runs after the discovered tests are defined: they all need the streams.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/decoders_fixture.cmake
  "set_tests_properties(\${decoders_tests_TESTS} PROPERTIES FIXTURES_REQUIRED decoderStreams)\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_CURRENT_BINARY_DIR}/decoders_fixture.cmake)
