# Command channel and reboot tests against the simulator.
if(TARGET ostrel_sim)
  ostrel_add_test(link_command_channel_test SOURCES command_channel_test.cpp LIBS ostrel_sim)
endif()
