# The simulator's own tests link its library; the demonstration test runs
# the built simulator through scripts/run.
if(TARGET tools_tst_devsim)
  target_link_libraries(tools_tst_devsim PRIVATE kiv_devsim)
endif()
if(TARGET tools_tst_demo)
  add_dependencies(tools_tst_demo kiv-devsim)
endif()
