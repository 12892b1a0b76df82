# Translations of the updater's texts.
#
# translations/corvina_<dir>.ts are compiled with lrelease into the files a reader
# installation holds, lang/<dir>/corvina_<dir>.qm, in the build folder (beside the
# MoravelUpdater executable, where start-up looks when the reader's settings name no
# installation folder) and, through install.cmake, in the installation.
#
# The toolkit's own texts (standard buttons of message boxes and the like) come from
# Debian's qttranslations5-l10n when it is installed: qtbase_<locale>.qm is copied in as
# the toolkit file start-up loads (lang/zh_cn/qt_zh_CN.qm, ...). Japanese has no toolkit
# file of its own (start-up loads corvina_ja_jp.qm twice), so its toolkit texts are
# merged into corvina_ja_jp.qm.
#
# `cmake --build <dir> --target update_translations` runs lupdate over src/ and refreshes
# the .ts files (new texts appear unfinished; texts no longer used are dropped).

set(ZR_TS_DIR ${CMAKE_SOURCE_DIR}/translations)
set(ZR_LANG_DIR ${CMAKE_BINARY_DIR}/lang)

get_target_property(ZR_QMAKE Qt5::qmake IMPORTED_LOCATION)
execute_process(COMMAND ${ZR_QMAKE} -query QT_INSTALL_TRANSLATIONS
  OUTPUT_VARIABLE ZR_QT_TRANSLATIONS OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)

# folder | toolkit catalogue | toolkit file name in the installation ("-": merged)
set(ZR_LANGUAGES
  "zh_cn|qtbase_zh_CN.qm|qt_zh_CN.qm"
  "zh_tw|qtbase_zh_TW.qm|qt_zh_TW.qm"
  "ja_jp|qtbase_ja.qm|-"
  "ko_kr|qtbase_ko.qm|qt_ko_KR.qm")

set(ZR_QM_FILES)
set(ZR_TS_FILES)
foreach(entry IN LISTS ZR_LANGUAGES)
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 dir)
  list(GET fields 1 catalogue)
  list(GET fields 2 toolkit_name)

  set(ts ${ZR_TS_DIR}/corvina_${dir}.ts)
  set(qm ${ZR_LANG_DIR}/${dir}/corvina_${dir}.qm)
  list(APPEND ZR_TS_FILES ${ts})
  set(toolkit_source "")
  if(ZR_QT_TRANSLATIONS AND EXISTS ${ZR_QT_TRANSLATIONS}/${catalogue})
    set(toolkit_source ${ZR_QT_TRANSLATIONS}/${catalogue})
  endif()

  if(toolkit_name STREQUAL "-" AND toolkit_source)
    # Our texts and the toolkit's in one file.
    set(own ${CMAKE_BINARY_DIR}/translations/corvina_${dir}.qm)
    add_custom_command(OUTPUT ${qm}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${ZR_LANG_DIR}/${dir} ${CMAKE_BINARY_DIR}/translations
      COMMAND Qt5::lrelease -silent ${ts} -qm ${own}
      COMMAND Qt5::lconvert -i ${own} -i ${toolkit_source} -o ${qm}
      DEPENDS ${ts} ${toolkit_source}
      COMMENT "Translations: lang/${dir}/corvina_${dir}.qm (with the toolkit's texts)"
      VERBATIM)
  else()
    add_custom_command(OUTPUT ${qm}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${ZR_LANG_DIR}/${dir}
      COMMAND Qt5::lrelease -silent ${ts} -qm ${qm}
      DEPENDS ${ts}
      COMMENT "Translations: lang/${dir}/corvina_${dir}.qm"
      VERBATIM)
  endif()
  list(APPEND ZR_QM_FILES ${qm})

  if(NOT toolkit_name STREQUAL "-" AND toolkit_source)
    set(toolkit_qm ${ZR_LANG_DIR}/${dir}/${toolkit_name})
    add_custom_command(OUTPUT ${toolkit_qm}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${ZR_LANG_DIR}/${dir}
      COMMAND ${CMAKE_COMMAND} -E copy ${toolkit_source} ${toolkit_qm}
      DEPENDS ${toolkit_source}
      VERBATIM)
    list(APPEND ZR_QM_FILES ${toolkit_qm})
  endif()
endforeach()

add_custom_target(translations ALL DEPENDS ${ZR_QM_FILES})

add_custom_target(update_translations
  COMMAND Qt5::lupdate -silent -no-obsolete -locations relative
          ${CMAKE_SOURCE_DIR}/src -ts ${ZR_TS_FILES}
  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
  COMMENT "lupdate: refreshing translations/*.ts from src/"
  VERBATIM)
