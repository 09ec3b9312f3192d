# The system sleep setting runs the power-management tool and reads the root power domain.
target_link_libraries(QuellanSleepServiceLib PUBLIC DravikSystem DravikPlatformPosix)
dravik_test(SystemSettingTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/SystemSettingTest.cc
            LIBS QuellanSleepServiceLib DravikPlatformFakes)
