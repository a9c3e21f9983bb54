# vellox_set_warnings(target): the project's warning set, errors when VELLOX_WERROR is on.
function(vellox_set_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
    if(VELLOX_WERROR)
      target_compile_options(${target} PRIVATE /WX)
    endif()
  else()
    target_compile_options(${target} PRIVATE
      -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
      -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual
      -Wimplicit-fallthrough)
    if(VELLOX_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()
