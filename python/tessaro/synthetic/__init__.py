"""A synthetic IMX704: a scene rendered into raw image and embedded-data frames of every mode,
with what the library must decode from them. `docs/synthetic.md` describes the model."""

from tessaro.synthetic._model import MODES, SyntheticSensor, synthetic_camera
from tessaro.synthetic._scene import Box, Moving, Plane, Scene, Sphere, default_scene

__all__ = ["Box", "Moving", "Plane", "Scene", "Sphere", "SyntheticSensor", "default_scene",
           "synthetic_camera", "MODES"]
