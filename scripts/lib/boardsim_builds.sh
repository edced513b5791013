# Shared by the speed scripts (sourced, from the tree's root): boardsim
# builds named by executable or by git revision, and medians.
#   $tool   the script's name, for its messages

# Ninja's default (cores + 2) would overload a small host that the runs share.
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

# The boardsim of `what`: an executable as it is, or a revision of this tree,
# exported (git archive: no worktree to register or clean up) and built once
# (default preset, boardsim only) under build-bench/<commit>.
binary_of() {
  local what=$1 commit dir
  if [ -x "$what" ] && [ -f "$what" ]; then
    realpath "$what"
    return
  fi
  commit=$(git rev-parse --verify --quiet "$what^{commit}") || {
    echo "$tool: $what is neither an executable nor a revision" >&2
    return 1
  }
  dir=$PWD/build-bench/${commit:0:12}
  if [ ! -x "$dir/build/bin/boardsim" ]; then
    rm -rf "$dir"
    mkdir -p "$dir"
    git archive "$commit" | tar -x -C "$dir"
    echo "$tool: building boardsim of ${commit:0:12} ($what)" >&2
    local launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    (cd "$dir" && cmake --preset default -B build "${launcher[@]}" >/dev/null &&
      cmake --build build --target boardsim -j "$jobs" >/dev/null) || {
      echo "$tool: $what does not build" >&2
      return 1
    }
  fi
  echo "$dir/build/bin/boardsim"
}

# The median of the numbers on standard input, one a line ("-" for none).
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.2f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Exits (status 2) unless builds were named and $rounds is a positive number.
require_builds_and_rounds() {
  if [ ${#builds[@]} -eq 0 ]; then
    echo "$tool: name at least one build (a boardsim executable or a git revision)" >&2
    exit 2
  fi
  case "$rounds" in ''|*[!0-9]*|0) echo "$tool: --rounds takes a positive number" >&2; exit 2 ;; esac
}
