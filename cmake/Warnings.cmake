# Warning flags for the project's own targets.
function(quorvale_dat_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                           -Wsign-conversion)
  if(QUORVALE_DAT_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  # Source paths in diagnostics and std::source_location become relative to the repository root,
  # so no absolute build path ever reaches an error text.
  target_compile_options(${target} PRIVATE "-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=")
endfunction()
