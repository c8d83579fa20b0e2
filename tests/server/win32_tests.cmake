# The Windows relay's own tests, under Wine.
