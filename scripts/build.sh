#!/usr/bin/env bash
# Configures and builds the three trees under build/: host, win and sys (see CMakeLists.txt);
# package makes the Windows package from the win and sys trees (package/README.md).
#   build.sh [host] [win] [sys] [tsan] [bench] [package]   (default: host win sys)
# A tree name with -configure (tsan-configure) only configures it.
set -euo pipefail
cd "$(dirname "$0")/.."
trees=("$@")
[ ${#trees[@]} -gt 0 ] || trees=(host win sys)
jobs="${VARLO_JOBS:-$(nproc)}"
# A compiler cache, when the machine has one, shared by every checkout of the project.
launcher=()
if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}" CCACHE_NOHASHDIR=1
fi
for t in "${trees[@]}"; do
    case "$t" in
        host|host-configure) args=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug
                    -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g") ;;
        tsan|tsan-configure) args=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug
                    -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DVARLO_SANITIZE=thread) ;;
        bench) args=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release
                     -DVARLO_SANITIZE=none) ;;
        win) args=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-win.cmake -DCMAKE_BUILD_TYPE=Release) ;;
        sys) args=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-sys.cmake -DCMAKE_BUILD_TYPE=Release) ;;
        package) package/build-package.sh build; continue ;;
        *) echo "build.sh: unknown tree $t" >&2; exit 2 ;;
    esac
    dir="build/${t%-configure}"
    [ -f "$dir/build.ninja" ] || cmake -S . -B "$dir" -G Ninja "${args[@]}" "${launcher[@]}" >/dev/null
    if [ "$t" = "${t%-configure}" ]; then
        cmake --build "$dir" -j "$jobs"
    fi
done
