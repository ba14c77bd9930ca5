// The weathervane's bones (tools/state_machine_compiler.h gives the layout): bone b is track
// b of its animations and poses the node of that name.
bones = ["root" "vane"]
