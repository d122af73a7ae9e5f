# Seeded benchmark trees, sourced by bench/backup_bench and bench/compare so that both time the
# same bytes. Reads $scale (1 = full size). Needs openssl and awk.

# Seeded pseudo-random bytes: AES-CTR keystream from a key derived from the seed.
prng() { # seed bytes
  key=$(printf '%s' "vornlake-bench-$1" | openssl dgst -sha256 -hex | sed 's/.*= //' | cut -c1-32)
  openssl enc -aes-128-ctr -K "$key" -iv 00000000000000000000000000000000 -nosalt < /dev/zero 2>/dev/null | head -c "$2"
}
mib() { awk -v s="$scale" -v m="$1" 'BEGIN { printf "%d", s * m * 1048576 }'; }

# Makes DIR/mixed (about 1.2 GB: random, text-like and duplicate files, 5,000 small files) and
# DIR/small (100,000 small files), both scaled by $scale; sets $mixed and $small to their paths.
trees_generate() { # dir
  echo "generating the mixed tree (scale $scale)..."
  mixed="$1/mixed"
  mkdir -p "$mixed/random" "$mixed/text" "$mixed/dup" "$mixed/small"
  i=0; while [ $i -lt 12 ]; do prng "r$i" "$(mib 32)" > "$mixed/random/r$i.bin"; i=$((i + 1)); done
  i=0; while [ $i -lt 16 ]; do
    awk -v seed=$i -v bytes="$(mib 24)" 'BEGIN { srand(seed); n = 0
      split("backup block segment catalog digest server client profile rule archive restore data", w)
      while (n < bytes) { line = ""; for (k = 0; k < 12; k++) line = line w[int(rand() * 12) + 1] " "
        line = line int(rand() * 100000); print line; n += length(line) + 1 } }' \
      | head -c "$(mib 24)" > "$mixed/text/t$i.txt"
    i=$((i + 1))
  done
  i=0; while [ $i -lt 6 ]; do cp "$mixed/random/r$i.bin" "$mixed/dup/copy$i.bin"; i=$((i + 1)); done
  awk -v dir="$mixed/small" -v count="$(awk -v s="$scale" 'BEGIN { printf "%d", s * 5000 }')" 'BEGIN {
    srand(7); for (f = 0; f < count; f++) { path = sprintf("%s/d%02d/f%05d.txt", dir, f % 50, f)
      if (f < 50) system("mkdir -p " dir sprintf("/d%02d", f))
      size = int(rand() * 8000) + 1; s = ""; while (length(s) < size) s = s sprintf("%x", rand() * 2^31)
      printf "%s", substr(s, 1, size) > path; close(path) } }'

  find "$mixed" -type f -exec touch -d '1 hour ago' {} +
  trees_generate_small "$1"
}

# Makes DIR/small alone (100,000 small files, scaled by $scale); sets $small to its path.
trees_generate_small() { # dir
  echo "generating the tree of small files..."
  small="$1/small"
  mkdir -p "$small"
  awk -v dir="$small" -v count="$(awk -v s="$scale" 'BEGIN { printf "%d", s * 100000 }')" 'BEGIN {
    srand(11); for (f = 0; f < count; f++) { if (f % 1000 == 0) system("mkdir -p " dir sprintf("/d%03d", f / 1000))
      path = sprintf("%s/d%03d/f%06d.txt", dir, f / 1000, f); printf "file %d %x %x\n", f, rand() * 2^31, rand() * 2^31 > path
      close(path) } }'
  # Everything older than the cache's settling window, so the second run can use the cache.
  find "$small" -type f -exec touch -d '1 hour ago' {} +
}

# The trees for runs at a distance, scaled by $scale: DIR/s3k (3,000 files of 0 to 8 KiB) and
# DIR/l64m (4 random files of 64 MiB); sets $s3k and $l64m to their paths.
trees_generate_distance() { # dir
  echo "generating the distance trees (scale $scale)..."
  s3k="$1/s3k"
  l64m="$1/l64m"
  mkdir -p "$s3k" "$l64m"
  awk -v dir="$s3k" -v count="$(awk -v s="$scale" 'BEGIN { printf "%d", s * 3000 }')" 'BEGIN {
    srand(13); for (f = 0; f < count; f++) { if (f % 500 == 0) system("mkdir -p " dir sprintf("/d%d", f / 500))
      path = sprintf("%s/d%d/f%05d.txt", dir, f / 500, f); size = int(rand() * 8193); s = ""
      while (length(s) < size) s = s sprintf("%x", rand() * 2^31)
      printf "%s", substr(s, 1, size) > path; close(path) } }'
  i=0; while [ $i -lt 4 ]; do prng "l$i" "$(mib 64)" > "$l64m/l$i.bin"; i=$((i + 1)); done
  find "$s3k" "$l64m" -type f -exec touch -d '1 hour ago' {} +
}

# Appends a line to every hundredth file (in sorted order), dated outside the settling window; in
# a tree of fewer than a hundred files, to the first.
change_one_percent() { # dir
  find "$1" -type f | sort | awk '{ f[NR] = $0 } END { for (i = 100; i <= NR; i += 100) print f[i]
    if (NR > 0 && NR < 100) print f[1] }' \
    | while read -r f; do printf 'changed\n' >> "$f"; touch -d '10 minutes ago' "$f"; done
}

# The trees of many small files, scaled by $scale: DIR/k100 (100,000 files) and DIR/m1
# (1,000,000 files), each of 0 to 4 KiB of hexadecimal text, 1,000 files to a folder and 40
# folders to a group (m1: 1,025 folders); sets $k100 and $m1 to their paths. The content of a
# file is a seeded slice of a 64 KiB pool, so that the files differ without the cost of drawing
# every byte.
trees_generate_many() { # dir
  echo "generating the trees of 100,000 and 1,000,000 small files (scale $scale)..."
  k100="$1/k100"
  m1="$1/m1"
  many_tree "$k100" "$(awk -v s="$scale" 'BEGIN { printf "%d", s * 100000 }')" 17
  many_tree "$m1" "$(awk -v s="$scale" 'BEGIN { printf "%d", s * 1000000 }')" 19
  find "$k100" "$m1" -type f -exec touch -d '1 hour ago' {} +
}

many_tree() { # dir count seed
  mkdir -p "$1"
  awk -v dir="$1" -v count="$2" -v seed="$3" 'BEGIN { srand(seed); pool = ""
    while (length(pool) < 69632) pool = pool sprintf("%08x", rand() * 2^31)
    for (f = 0; f < count; f++) {
      if (f % 1000 == 0) { sub_dir = sprintf("%s/g%02d/d%04d", dir, f / 40000, f / 1000); system("mkdir -p " sub_dir) }
      path = sprintf("%s/f%07d.txt", sub_dir, f)
      printf "%s", substr(pool, int(rand() * 65536) + 1, int(rand() * 4097)) > path; close(path) } }'
}
