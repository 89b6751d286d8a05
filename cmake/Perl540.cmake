# Perl540.cmake: compile and link settings of the Perl 5.40 that scripts/bootstrap builds.
set(VELTRIX_PERL /opt/veltrix/perl-5.40.1/bin/perl CACHE FILEPATH "Perl 5.40 (threaded, shared libperl)")
if(NOT EXISTS ${VELTRIX_PERL})
  message(FATAL_ERROR "Perl 5.40 not found at ${VELTRIX_PERL}: run scripts/bootstrap first")
endif()

execute_process(COMMAND ${VELTRIX_PERL} -MConfig -e "print qq{\$Config{archlibexp}/CORE}"
                OUTPUT_VARIABLE PERL_CORE_DIR COMMAND_ERROR_IS_FATAL ANY)
# Perl's prefix and its library directories (Perl's order in @INC), for the runtime installed with the product.
execute_process(COMMAND ${VELTRIX_PERL} -MConfig -e "print join ';', @Config{qw(prefixexp sitearchexp sitelibexp archlibexp privlibexp)}"
                OUTPUT_VARIABLE _perl_dirs COMMAND_ERROR_IS_FATAL ANY)
list(POP_FRONT _perl_dirs PERL_PREFIX)
set(PERL_LIB_DIRS ${_perl_dirs})
execute_process(COMMAND ${VELTRIX_PERL} -MExtUtils::Embed -e ccopts
                OUTPUT_VARIABLE _perl_ccopts OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${VELTRIX_PERL} -MConfig -e "print \$Config{version}"
                OUTPUT_VARIABLE PERL_VERSION_STRING COMMAND_ERROR_IS_FATAL ANY)
if(NOT PERL_VERSION_STRING MATCHES "^5\\.40\\.")
  message(FATAL_ERROR "${VELTRIX_PERL} is Perl ${PERL_VERSION_STRING}, 5.40 is required")
endif()
set(PERL_LIBPERL ${PERL_CORE_DIR}/libperl.so)
if(NOT EXISTS ${PERL_LIBPERL})
  message(FATAL_ERROR "${PERL_LIBPERL} missing: Perl must be built with -Duseshrplib")
endif()

separate_arguments(_perl_ccopts UNIX_COMMAND "${_perl_ccopts}")
set(_perl_includes "")
set(_perl_defines "")
set(_perl_options "")
foreach(opt IN LISTS _perl_ccopts)
  if(opt MATCHES "^-I(.+)")
    list(APPEND _perl_includes ${CMAKE_MATCH_1})
  elseif(opt MATCHES "^-D(.+)")
    list(APPEND _perl_defines ${CMAKE_MATCH_1})
  elseif(opt MATCHES "^-f(wrapv|no-strict-aliasing)$")
    list(APPEND _perl_options ${opt})
  endif()
endforeach()

# perl540: everything a translation unit that includes perl.h needs.
add_library(perl540 INTERFACE)
target_include_directories(perl540 SYSTEM INTERFACE ${_perl_includes})
target_compile_definitions(perl540 INTERFACE ${_perl_defines})
target_compile_options(perl540 INTERFACE ${_perl_options})
target_link_libraries(perl540 INTERFACE ${PERL_LIBPERL} pthread dl m)
message(STATUS "Perl ${PERL_VERSION_STRING}: ${PERL_CORE_DIR}")

# With VELTRIX_BUNDLE_PERL an installed product carries the lib tree of this Perl under VELTRIX_PERL_RUNTIME_REL
# (the receiver module puts its directories in @INC in place of the compiled-in ones); installed libraries then
# find libperl relative to themselves.
if(VELTRIX_BUNDLE_PERL)
  foreach(dir IN LISTS PERL_LIB_DIRS)
    string(FIND "${dir}" "${PERL_PREFIX}/lib/" _at)
    if(NOT _at EQUAL 0)
      message(FATAL_ERROR "${dir} is not under ${PERL_PREFIX}/lib: this Perl cannot be installed with the product "
                          "(configure with -DVELTRIX_BUNDLE_PERL=OFF)")
    endif()
  endforeach()
  file(RELATIVE_PATH PERL_CORE_REL ${PERL_PREFIX} ${PERL_CORE_DIR})
endif()

# veltrix_perl_rpath(target dir): the install RPATH of a library that links libperl and is installed in `dir`
# of the product tree: the product's own Perl runtime, or this Perl when the product comes without one.
function(veltrix_perl_rpath target dir)
  if(VELTRIX_BUNDLE_PERL)
    file(RELATIVE_PATH _rel /product/${dir} /product/${VELTRIX_PERL_RUNTIME_REL}/${PERL_CORE_REL})
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${_rel}")
  else()
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "${PERL_CORE_DIR}")
  endif()
endfunction()
