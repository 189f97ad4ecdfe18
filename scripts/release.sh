#!/usr/bin/env bash
# scripts/release.sh: builds what a launcher author ships into
# out/release/AutoUpdate-VERSION/ and a zip of it beside: a Release build of
# AutoUpdate.dll, stripped, with its version resource; zlib.DLL; autoupdate.h;
# a sample gamedata.xml; the reference launcher.exe; the integration guide.
# The Windows build goes to build-release/; the folder is checked at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${AUTOUPDATE_JOBS:-2}

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$root/build-release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" -DAUTOUPDATE_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build "$root/build-release" -j "$jobs" --target autoupdate launcher

version=$(sed -n 's/^project(AutoUpdate VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=AutoUpdate-$version
out=$root/out/release
rm -rf "${out:?}/$name" "$out/$name.zip"
mkdir -p "$out/$name"
i686-w64-mingw32-strip -o "$out/$name/AutoUpdate.dll" build-release/AutoUpdate.dll
i686-w64-mingw32-strip -o "$out/$name/launcher.exe" build-release/launcher.exe
cp /usr/i686-w64-mingw32/lib/zlib1.dll "$out/$name/zlib.DLL"
cp include/autoupdate.h packaging/release/gamedata.xml packaging/release/INTEGRATION.md "$out/$name/"
python3 packaging/release/check_release.py "$out/$name" "$version"
(cd "$out" && python3 -m zipfile -c "$name.zip" "$name")
echo "release: out/release/$name/ and out/release/$name.zip"
