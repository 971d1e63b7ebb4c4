# Man pages and shell completion scripts, made from the built program: the pages with help2man
# from its help (scripts/make-man-pages), the completions by `norvan completion SHELL`.
find_program(NORVAN_HELP2MAN help2man REQUIRED)
find_program(NORVAN_GZIP gzip REQUIRED)

set(norvan_man_dir ${PROJECT_BINARY_DIR}/man)
set(norvan_completion_dir ${PROJECT_BINARY_DIR}/completion)
set(norvan_completions
  ${norvan_completion_dir}/norvan
  ${norvan_completion_dir}/_norvan
  ${norvan_completion_dir}/norvan.fish)

# The set of pages follows the program's list of commands; a stamp stands for all of them.
add_custom_command(OUTPUT ${norvan_man_dir}/pages.stamp
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${norvan_man_dir}
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/make-man-pages $<TARGET_FILE:norvan_program> ${norvan_man_dir} ${PROJECT_VERSION}
  COMMAND sh -c "for page in \"$0\"/*.1; do gzip -9n <\"$page\" >\"$page.gz\"; done" ${norvan_man_dir}
  COMMAND ${CMAKE_COMMAND} -E touch ${norvan_man_dir}/pages.stamp
  DEPENDS norvan_program ${PROJECT_SOURCE_DIR}/scripts/make-man-pages
  COMMENT "Making the man pages"
  VERBATIM)

set(norvan_completion_commands "")
foreach(shell_and_file "bash;norvan" "zsh;_norvan" "fish;norvan.fish")
  list(GET shell_and_file 0 shell)
  list(GET shell_and_file 1 file)
  list(APPEND norvan_completion_commands
    COMMAND sh -c "\"$0\" completion ${shell} >\"$1\"" $<TARGET_FILE:norvan_program> ${norvan_completion_dir}/${file})
endforeach()
add_custom_command(OUTPUT ${norvan_completions}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${norvan_completion_dir}
  ${norvan_completion_commands}
  DEPENDS norvan_program
  COMMENT "Making the shell completion scripts"
  VERBATIM)

add_custom_target(norvan_shell_files ALL DEPENDS ${norvan_man_dir}/pages.stamp ${norvan_completions})

install(DIRECTORY ${norvan_man_dir}/ DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program
  FILES_MATCHING PATTERN "*.1.gz")
install(FILES ${norvan_completion_dir}/norvan DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  COMPONENT program)
install(FILES ${norvan_completion_dir}/_norvan DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions
  COMPONENT program)
install(FILES ${norvan_completion_dir}/norvan.fish DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d
  COMPONENT program)
