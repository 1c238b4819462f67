# SPDX-License-Identifier: Apache-2.0
# Builds keld4.msi with wixl (Debian msitools):
#
#   cmake -DSOURCE_DIR=<repository> -DEXE=keld4.exe -DVERSION=1.0 -DOUT=keld4.msi -P msi.cmake
#
# The registry template becomes the package's settings, so the package and
# the template cannot disagree on a value or its default. Each value is a
# component of its own, installed only when the value is absent (or its
# property was given on the command line): an upgrade then keeps what an
# administrator changed and what the agent counts, and still adds values a
# newer template brings. The settings components are permanent: removing the
# package leaves the settings, as removing the Debian package keeps its
# registry file (PURGE=1 deletes them).
set(upgrade_code 8BA233A9-0E20-4A99-8786-D5871A87D5A7)
# Values filled from public properties (LOCALIP=... on the msiexec command line).
set(public_LocalIPAddress LOCALIP)
set(public_LocalMacAddress LOCALMAC)
set(public_LogDirectory LOGDIR)
# The template describes a Linux host in these two.
set(windows_SystemVersion "keld4 ${VERSION} for Windows")
set(windows_ServerType "Windows server")
# wixl writes neither component conditions, these attribute bits nor secure
# properties.
set(permanent_64bit 272) # msidbComponentAttributesPermanent | msidbComponentAttributes64bit
set(rollback_exe 3410)   # file exe, in script, rollback, no impersonation, result ignored

get_filename_component(work "${OUT}" DIRECTORY)
set(work "${work}/msi")
file(MAKE_DIRECTORY "${work}")
# wixl finds a file only in or below the folder of the source naming it.
file(COPY "${EXE}" "${SOURCE_DIR}/packaging/windows/keld4.wxs" DESTINATION "${work}")

file(STRINGS "${SOURCE_DIR}/packaging/keld4.reg" lines REGEX "^(\\[|\")")
set(items "")
set(refs "")
set(queries "UPDATE `Component` SET `Condition` = 'COORDINATORS', `Attributes` = ${permanent_64bit} WHERE `Component` = 'SetCoordinatorAddresses'"
            "UPDATE `CustomAction` SET `Type` = ${rollback_exe} WHERE `Action` = 'UndoRegisterService'")
foreach(line IN LISTS lines)
  if(line MATCHES "^\\[HKEY_LOCAL_MACHINE\\\\(.*)\\]$")
    set(key "${CMAKE_MATCH_1}")
    continue()
  endif()
  if(NOT line MATCHES "^\"([A-Za-z]+)\"=(dword:([0-9a-fA-F]+)|\"(.*)\")$")
    message(FATAL_ERROR "keld4.reg: cannot read: ${line}")
  endif()
  set(name "${CMAKE_MATCH_1}")
  if(CMAKE_MATCH_3)
    math(EXPR data "0x${CMAKE_MATCH_3}" OUTPUT_FORMAT DECIMAL)
    set(type integer)
  else()
    string(REPLACE "\\\\" "\\" data "${CMAKE_MATCH_4}")
    set(type string)
  endif()
  if(DEFINED windows_${name})
    set(data "${windows_${name}}")
  endif()
  string(TOUPPER "${name}" upper)
  # Stable across versions, as the component rules want.
  string(UUID guid NAMESPACE "${upgrade_code}" NAME "${key}\\${name}" TYPE SHA1 UPPER)
  if(DEFINED public_${name})
    set(found "${public_${name}}_STORED")
    set(condition "${public_${name}} OR NOT ${found}")
    set(data "[${public_${name}}]")
  else()
    set(found "KELD4_HAS_${upper}")
    set(condition "NOT ${found}")
  endif()
  string(REPLACE "&" "&amp;" data "${data}")
  string(REPLACE "\"" "&quot;" data "${data}")
  string(REPLACE "<" "&lt;" data "${data}")
  string(APPEND items "
  <Property Id=\"${found}\">
    <RegistrySearch Id=\"Find${name}\" Root=\"HKLM\" Key=\"${key}\" Name=\"${name}\" Type=\"raw\" Win64=\"yes\"/>
  </Property>
  <DirectoryRef Id=\"TARGETDIR\">
    <Component Id=\"Set${name}\" Guid=\"${guid}\" Win64=\"yes\">
      <RegistryValue Root=\"HKLM\" Key=\"${key}\" Name=\"${name}\" Type=\"${type}\" Value=\"${data}\" KeyPath=\"yes\"/>
    </Component>
  </DirectoryRef>")
  string(APPEND refs "\n  <ComponentRef Id=\"Set${name}\"/>")
  list(APPEND queries "UPDATE `Component` SET `Condition` = '${condition}', `Attributes` = ${permanent_64bit} WHERE `Component` = 'Set${name}'")
endforeach()
file(WRITE "${work}/settings.wxi" "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Include>${items}\n</Include>\n")
file(WRITE "${work}/settings-refs.wxi" "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Include>${refs}\n</Include>\n")

find_program(WIXL wixl REQUIRED)
find_program(MSIBUILD msibuild REQUIRED)
file(REMOVE "${OUT}.tmp")
execute_process(COMMAND "${WIXL}" -a x64 -D "Version=${VERSION}" -D "UpgradeCode=${upgrade_code}"
                        -o "${OUT}.tmp" keld4.wxs
                WORKING_DIRECTORY "${work}" COMMAND_ERROR_IS_FATAL ANY)
# Passed on to the installation's server side in managed installations too
# (a query of its own: the semicolons would split a list item).
execute_process(COMMAND "${MSIBUILD}" "${OUT}.tmp" -q "UPDATE `Property` SET `Value` = \
'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;LOCALIP;LOCALMAC;LOGDIR;COORDINATORS;PURGE' \
WHERE `Property` = 'SecureCustomProperties'" COMMAND_ERROR_IS_FATAL ANY)
foreach(query IN LISTS queries)
  execute_process(COMMAND "${MSIBUILD}" "${OUT}.tmp" -q "${query}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(RENAME "${OUT}.tmp" "${OUT}")
