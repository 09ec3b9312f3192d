# The power layer, the idle assertion and the event log, tested against in-memory seams.
dravik_test(DravikSystemPowerTest
            SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/PowerTest.cc
                    ${CMAKE_CURRENT_SOURCE_DIR}/OpenLidAssertionTest.cc
                    ${CMAKE_CURRENT_SOURCE_DIR}/EventLogTest.cc
            LIBS DravikSystem DravikPlatformFakes)
