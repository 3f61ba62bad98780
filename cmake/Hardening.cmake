# Warnings as errors and hardening for the project's own targets.
# lw_harden(<target>) applies them; third-party code is never built with them.

set(LW_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
                -Wformat=2 -Wformat-security -Wnon-virtual-dtor -Werror)
set(LW_HARDENING -D_FORTIFY_SOURCE=3 -fstack-protector-strong -D_GLIBCXX_ASSERTIONS
                 -fstack-clash-protection -fcf-protection)

if(LW_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -g -O1)
  add_link_options(-fsanitize=thread)
elseif(LW_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -g -O1)
  add_link_options(-fsanitize=address,undefined)
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
