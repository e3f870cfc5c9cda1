# Warnings and sanitizers for every target of the project.
add_compile_options(-Wall -Wextra -Wpedantic -Wnon-virtual-dtor)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(-Wshadow=local)
  if(CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    # At -O3, GCC 12 takes "x" + std::to_string(n) for an overlapping copy,
    # and the end of a std::expected held in a std::future for a free of a
    # non-heap object: false alarms from inlined library code. The sanitizer
    # builds check such code for real.
    add_compile_options(-Wno-restrict -Wno-free-nonheap-object)
  endif()
elseif(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # libstdc++ 12 offers std::expected only when the compiler claims the C++20
  # concepts level that clang 16 implements but does not yet advertise.
  add_compile_options(-U__cpp_concepts -D__cpp_concepts=202002L -Wno-gnu-zero-variadic-macro-arguments)
endif()
if(LUMORA_WERROR)
  add_compile_options(-Werror)
endif()
if(LUMORA_SANITIZE)
  add_compile_options(-fsanitize=${LUMORA_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${LUMORA_SANITIZE})
endif()
