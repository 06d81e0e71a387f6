#!/bin/sh
# Link launcher: runs the link with SOURCE_DATE_EPOCH read from the file commit_time.cmake keeps.
set -eu
epoch_file=$1
shift
SOURCE_DATE_EPOCH=$(cat "$epoch_file") exec "$@"
