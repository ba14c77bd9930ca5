// The door's bones (tools/animation/state_machine_compiler.h gives the layout): the root (which the
// animations hold still) and the hinge.
bones = ["root" "hinge"]
