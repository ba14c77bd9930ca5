#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and AddressSanitizer and runs each for a
# bounded time (not part of ./test.sh).
#   fuzz/run.sh            60 seconds per target
#   fuzz/run.sh 10         10 seconds per target
# Corpora live in build/fuzz/corpus/<target>; crashes are written to build/fuzz/crashes/.
# Exit status is non-zero when any target found a crash.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
.ci/install-deps fuzz
dir=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTALLOW_BUILD_FUZZ=ON -DTALLOW_BUILD_TESTS=OFF -DTALLOW_SANITIZE=address >/dev/null
targets=(fuzz_config_text fuzz_config_blob fuzz_segment_stream fuzz_resource_bundle fuzz_resource_formats
         fuzz_save_file fuzz_unit_resource fuzz_level_resource fuzz_d3d11_resources fuzz_shader_library
         fuzz_sound_resource fuzz_particle_effect fuzz_connection fuzz_physics_properties fuzz_cooked_mesh fuzz_network_config
         fuzz_network_game fuzz_lan_lobby
         fuzz_animation_resources fuzz_texture_material fuzz_nav_mesh fuzz_resource_generators fuzz_steam_standin
         fuzz_font)
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}" fuzz_make_seeds fuzz_make_unit_seeds fuzz_make_level_seeds \
    fuzz_make_shader_library_seeds fuzz_make_sound_seeds fuzz_make_particle_seeds fuzz_make_network_seeds fuzz_make_physics_seeds \
    fuzz_make_network_game_seeds fuzz_make_lan_seeds fuzz_make_animation_seeds fuzz_make_texture_material_seeds fuzz_make_nav_mesh_seeds \
    fuzz_make_font_seeds
for target in "${targets[@]}"; do mkdir -p "$dir/corpus/$target"; done
mkdir -p "$dir/crashes"
"$dir/fuzz/fuzz_make_seeds" "$dir/corpus/fuzz_config_text" "$dir/corpus/fuzz_config_blob" "$dir/corpus/fuzz_segment_stream"
"$dir/fuzz/fuzz_make_unit_seeds" "$dir/corpus/fuzz_unit_resource"
"$dir/fuzz/fuzz_make_level_seeds" "$dir/corpus/fuzz_level_resource"
"$dir/fuzz/fuzz_make_shader_library_seeds" "$dir/corpus/fuzz_shader_library"
cp data/renderer.render_config "$dir/corpus/fuzz_resource_generators/"
"$dir/fuzz/fuzz_make_sound_seeds" "$dir/corpus/fuzz_sound_resource" tests/sound/data/tone_mono_8k.ogg
"$dir/fuzz/fuzz_make_particle_seeds" "$dir/corpus/fuzz_particle_effect"
"$dir/fuzz/fuzz_make_network_seeds" "$dir/corpus/fuzz_connection"
"$dir/fuzz/fuzz_make_physics_seeds" "$dir/corpus/fuzz_physics_properties" "$dir/corpus/fuzz_cooked_mesh"
"$dir/fuzz/fuzz_make_network_game_seeds" "$dir/corpus/fuzz_network_config" "$dir/corpus/fuzz_network_game"
"$dir/fuzz/fuzz_make_lan_seeds" "$dir/corpus/fuzz_lan_lobby"
"$dir/fuzz/fuzz_make_animation_seeds" "$dir/corpus/fuzz_animation_resources"
"$dir/fuzz/fuzz_make_texture_material_seeds" "$dir/corpus/fuzz_texture_material"
"$dir/fuzz/fuzz_make_nav_mesh_seeds" "$dir/corpus/fuzz_nav_mesh"
"$dir/fuzz/fuzz_make_font_seeds" "$dir/corpus/fuzz_font"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
status=0
for target in "${targets[@]}"; do
    echo "== $target ($seconds s)"
    if ! "$dir/fuzz/$target" -max_total_time="$seconds" -max_len=200000 -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$dir/crashes/$target-" -print_final_stats=1 "$dir/corpus/$target" 2>"$dir/$target.log"; then
        echo "$target: FAILED (see $dir/$target.log and $dir/crashes/)"
        status=1
    fi
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done)' "$dir/$target.log" || true
done
exit $status
