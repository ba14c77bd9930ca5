// The door's bones (tools/state_machine_compiler.h gives the layout): the root (which the
// animations hold still) and the hinge.
bones = ["root" "hinge"]
