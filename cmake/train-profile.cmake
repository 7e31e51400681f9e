# The training step of the profile-guided build (run with cmake -P): clears
# the counts of the last run, runs tools/pgo-train.py on the instrumented
# module built in TRAINING_DIR, then copies each object's counts to where the
# compiler looks for them when it builds the same object in BUILD_DIR.
#
#   -DPYTHON=<interpreter> -DSCRIPT=<pgo-train.py> -DMODULE=<instrumented module>
#   -DTRAINING_DIR=<the instrumented copy's build> -DBUILD_DIR=<this build>
#   -DOBJECTS=<the module's objects in BUILD_DIR>

foreach(variable PYTHON SCRIPT MODULE TRAINING_DIR BUILD_DIR OBJECTS)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "train-profile.cmake: ${variable} is not set")
  endif()
endforeach()

# An object's counts sit next to it, named after it with .gcda for its extension.
# The same object of the instrumented copy has the same path below its build.
set(pairs "")
foreach(object IN LISTS OBJECTS)
  string(REGEX REPLACE "\\.(o|obj)$" ".gcda" counts "${object}")
  file(RELATIVE_PATH relative "${BUILD_DIR}" "${counts}")
  set(trained "${TRAINING_DIR}/${relative}")
  # Counts left by an earlier run would be added to this run's.
  file(REMOVE "${trained}")
  list(APPEND pairs "${trained}|${counts}")
endforeach()

execute_process(COMMAND "${PYTHON}" "${SCRIPT}" "${MODULE}" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "The training run of the profile-guided build failed (${result}); "
                      "PYQUARL_PGO=OFF builds without it")
endif()

set(copied 0)
foreach(pair IN LISTS pairs)
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 from)
  list(GET pair 1 to)
  if(EXISTS "${from}")
    get_filename_component(to_dir "${to}" DIRECTORY)
    file(MAKE_DIRECTORY "${to_dir}")
    file(COPY_FILE "${from}" "${to}")
    math(EXPR copied "${copied} + 1")
  else()
    file(REMOVE "${to}")
  endif()
endforeach()
# The module runs code of every object as it starts, so no counts at all
# means they went somewhere else: the build would silently go without.
list(LENGTH pairs count)
if(copied EQUAL 0)
  message(FATAL_ERROR "The training run left no counts next to the instrumented objects")
endif()
message(STATUS "Profile of the training run: counts for ${copied} of ${count} objects")
