"""The synthetic sensor's per-frame histogram work (private to tessaro.synthetic)."""

import numpy as np
import numpy.typing as npt

def peak_exponents(zone: npt.NDArray[np.intp], distance: npt.NDArray[np.float64],
                   width: npt.NDArray[np.float64], bin_mm: list[float], whole: list[bool]
                   ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]: ...

def histograms(generators: list[np.random.Generator], ambient: npt.NDArray[np.float64],
               zone: npt.NDArray[np.intp], height: npt.NDArray[np.float64],
               bounds: npt.NDArray[np.int64], gaussians: npt.NDArray[np.float64],
               out: npt.NDArray[np.uint32]) -> None: ...
