# Warnings are errors everywhere in this tree.
add_compile_options(-Wall -Wextra -Werror)

if(SANITIZE)
  add_compile_options(-fsanitize=${SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${SANITIZE})
endif()
