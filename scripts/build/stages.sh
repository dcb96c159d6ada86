# Sourced by the scripts that run in stages. Set stages_prefix first; then
# `stage NAME` prints how long the stage that just ended took, and
# `stages_total` how long the whole run has taken.
stages_started=$SECONDS
stage_started=$SECONDS
stage() {
    echo "$stages_prefix: $1 took $((SECONDS - stage_started)) s"
    stage_started=$SECONDS
}
stages_total() {
    echo "$stages_prefix: all stages took $((SECONDS - stages_started)) s"
}
