// The weathervane's bones (tools/animation/state_machine_compiler.h gives the layout): bone b is track
// b of its animations and poses the node of that name.
bones = ["root" "vane"]
