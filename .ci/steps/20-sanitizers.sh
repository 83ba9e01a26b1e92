#!/usr/bin/env bash
# The whole test suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer: the
# end-to-end tests run the sanitized executable, and any finding stops the program that made it
# and fails its test. The test preset sets ASAN_OPTIONS and UBSAN_OPTIONS.
set -euo pipefail
cd "$(dirname "$0")/../.."

cmake --workflow --preset sanitize
