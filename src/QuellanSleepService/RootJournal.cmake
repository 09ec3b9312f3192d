dravik_test(RootJournalTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/RootJournalTest.cc
            LIBS QuellanSleepServiceLib)
