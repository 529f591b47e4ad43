# Applies the sanitizer chosen by QB_SANITIZE to every target of the tree.
if(QB_SANITIZE STREQUAL "address")
  set(QB_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(QB_SANITIZE STREQUAL "thread")
  set(QB_SANITIZER_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
elseif(QB_SANITIZE STREQUAL "none")
  set(QB_SANITIZER_FLAGS "")
else()
  message(FATAL_ERROR "QB_SANITIZE must be none, address or thread (got '${QB_SANITIZE}')")
endif()

if(QB_SANITIZER_FLAGS)
  # -O1 with line tables is all the sanitizers need for useful reports, and it
  # builds much faster than the build type's -O2 -g (these come later on the
  # command line, so they win).
  add_compile_options(${QB_SANITIZER_FLAGS} -O1 -g1)
  add_link_options(${QB_SANITIZER_FLAGS})
  add_compile_definitions(QB_SANITIZED=1)
endif()
