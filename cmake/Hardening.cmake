# Warnings, sanitizers and hardening for the project's own targets.
# lw_harden(<target>) applies them; third-party code is never built with them.

set(LW_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
                -Wformat=2 -Wformat-security -Wnon-virtual-dtor)
if(LW_WERROR)
  list(APPEND LW_WARNINGS -Werror)
endif()
set(LW_HARDENING -D_FORTIFY_SOURCE=3 -fstack-protector-strong -D_GLIBCXX_ASSERTIONS
                 -fstack-clash-protection -fcf-protection)

# LW_SANITIZE is handed to -fsanitize= as written: "thread", "address",
# "undefined" or "address,undefined". Every finding ends the program with an
# error, so that a test run under a sanitizer fails on the first report.
if(LW_SANITIZE)
  string(REPLACE "," ";" lw_sanitizers "${LW_SANITIZE}")
  foreach(sanitizer IN LISTS lw_sanitizers)
    if(NOT sanitizer MATCHES "^(thread|address|undefined)$")
      message(FATAL_ERROR "LW_SANITIZE: unknown sanitizer '${sanitizer}' "
                          "(use thread, address, undefined or address,undefined)")
    endif()
  endforeach()
  if("thread" IN_LIST lw_sanitizers AND "address" IN_LIST lw_sanitizers)
    message(FATAL_ERROR "LW_SANITIZE: thread and address cannot be combined")
  endif()
  string(REPLACE ";" "," lw_sanitizers "${lw_sanitizers}")
  add_compile_options(-fsanitize=${lw_sanitizers} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer -g -O1)
  add_link_options(-fsanitize=${lw_sanitizers} -fno-sanitize-recover=all)
  if(LW_SANITIZE MATCHES "thread")
    # ThreadSanitizer needs an address-space layout its shadow memory fits,
    # which the kernel's full address randomisation breaks; every test (and
    # the test discovery after each link) runs with randomisation turned off.
    find_program(LW_SETARCH setarch REQUIRED)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${LW_SETARCH} ${CMAKE_SYSTEM_PROCESSOR} -R)
  endif()
endif()

function(lw_harden target)
  target_compile_options(${target} PRIVATE ${LW_WARNINGS})
  if(LW_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC's flow analysis reports false maybe-uninitialized warnings under
    # sanitizer instrumentation; they stay warnings there.
    target_compile_options(${target} PRIVATE -Wno-error=maybe-uninitialized)
  endif()
  if(NOT LW_SANITIZE)
    # _FORTIFY_SOURCE needs optimisation; the sanitizer builds bring their own checks.
    target_compile_options(${target} PRIVATE $<$<NOT:$<CONFIG:Debug>>:${LW_HARDENING}>)
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    target_link_options(${target} PRIVATE -pie -Wl,-z,relro,-z,now -Wl,-z,noexecstack)
  elseif(type STREQUAL "SHARED_LIBRARY")
    target_link_options(${target} PRIVATE -Wl,-z,relro,-z,now -Wl,-z,noexecstack)
  endif()
endfunction()
