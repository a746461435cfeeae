# Runs one libFuzzer target for SECONDS on a fresh copy of its seeds in WORK/corpus; what it
# finds goes to WORK/findings. Fails when libFuzzer reports a fault.
#   cmake -DTARGET=... -DSEEDS=... -DWORK=... -DSECONDS=... -P run_libfuzzer.cmake
file(REMOVE_RECURSE ${WORK}/corpus)
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/findings)
file(GLOB seeds ${SEEDS}/*)
if(seeds)
  file(COPY ${seeds} DESTINATION ${WORK}/corpus)
endif()
execute_process(COMMAND ${TARGET} -max_total_time=${SECONDS} -timeout=10 -print_final_stats=1
                        -artifact_prefix=${WORK}/findings/ ${WORK}/corpus
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${TARGET}: libFuzzer ended with ${result}; the input is in ${WORK}/findings")
endif()
