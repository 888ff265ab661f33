#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Writes the information property list embedded in the executable $1 to the file $2.
set -e
case "$(uname -s)" in
  Darwin) exec segedit "$1" -extract __TEXT __info_plist "$2" ;;
  *) exec objcopy -O binary --only-section=.info_plist "$1" "$2" ;;
esac
