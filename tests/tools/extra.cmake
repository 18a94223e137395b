# The simulator's own tests link its library.
if(TARGET tools_tst_devsim)
  target_link_libraries(tools_tst_devsim PRIVATE kiv_devsim)
endif()
