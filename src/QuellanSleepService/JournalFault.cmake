# The recovery journal under injected I/O faults, driven through the real lease.
dravik_test(JournalFaultTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/JournalFaultTest.cc
            LIBS QuellanSleepServiceLib QuellanServiceCoreFakes)
