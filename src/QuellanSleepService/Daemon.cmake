# The daemon's endpoint, tick and shutdown, against in-memory fakes.
target_link_libraries(QuellanSleepServiceLib PUBLIC DravikSystem QuellanServiceProtocol)
dravik_test(ServiceEndpointTest SOURCES ServiceEndpointTest.cc SleepDaemonTest.cc
            LIBS QuellanSleepServiceLib QuellanServiceCoreFakes DravikPlatformFakes)
