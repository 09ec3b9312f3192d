# The daemon's client: its rules run against in-memory connections and queues.
dravik_test(CompatibilityClientTest
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/CompatibilityClientTest.cc
  LIBS DravikSystem)
