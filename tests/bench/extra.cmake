# A brief run of scripts/bench's driver on this build: it must still take
# its figures and write them as JSON. Nothing is asserted about speed.
find_program(KIV_BENCH_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(KIV_BENCH_PYTHON NAMES python3)
if(KIV_BENCH_PYTHON)
  add_test(NAME bench/smoke
    COMMAND ${KIV_BENCH_PYTHON} ${CMAKE_SOURCE_DIR}/bench/kivbench.py --smoke --stages roundtrip,idle,serial,churn
            --build ${CMAKE_BINARY_DIR} --json ${CMAKE_CURRENT_BINARY_DIR}/bench-smoke/smoke.json)
  set_tests_properties(bench/smoke PROPERTIES TIMEOUT 300)
endif()
