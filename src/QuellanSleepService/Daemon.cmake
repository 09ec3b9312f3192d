# The daemon's endpoint, listener, tick and start-up, and the program itself.
target_link_libraries(QuellanSleepServiceLib PUBLIC DravikSystem QuellanServiceProtocol
                      QuellanServiceAuth DravikLocalService DravikPlatformAsio)

add_executable(QuellanSleepService main.cc)
target_link_libraries(QuellanSleepService PRIVATE QuellanSleepServiceLib DravikPlatformSim
                      DravikCodeIdentity)
set_target_properties(QuellanSleepService PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
dravik_sign(QuellanSleepService IDENTIFIER dravik.sleep-service)

dravik_test(ServiceEndpointTest SOURCES ServiceEndpointTest.cc SleepDaemonTest.cc
            LIBS QuellanSleepServiceLib QuellanServiceCoreFakes DravikPlatformFakes)
