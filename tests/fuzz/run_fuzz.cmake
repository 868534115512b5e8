# Writes the seed corpus (when there is a generator), then runs the fuzzer
# for a bounded time.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/seeds ${WORK}/corpus)
if(SEEDS)
  execute_process(COMMAND ${SEEDS} ${WORK}/seeds RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "seed generator failed: ${rc}")
  endif()
endif()
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -max_len=${MAX_LEN} -timeout=10
          -print_final_stats=1 -artifact_prefix=${WORK}/ ${WORK}/corpus ${WORK}/seeds
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the fuzzer found a fault (exit ${rc}); see the artifact in ${WORK}")
endif()
