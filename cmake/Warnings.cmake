# Warnings and sanitizers for every target of the project.
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow=local -Wnon-virtual-dtor)
if(LUMORA_WERROR)
  add_compile_options(-Werror)
endif()
if(LUMORA_SANITIZE)
  add_compile_options(-fsanitize=${LUMORA_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${LUMORA_SANITIZE})
endif()
