# One place for the warning set, so every target of the project is held to it.
function(norvane_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wnon-virtual-dtor
                         -Wno-unused-parameter -Wno-missing-field-initializers)
endfunction()
