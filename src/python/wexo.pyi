# Type stubs for the wexo extension module.
from typing import SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__all__ = [
    "create_linear_model",
    "create_categorical_model",
    "add_linear_model_layer",
    "add_categorical_model_layer",
    "create_optimizer",
    "train_linear_model",
    "train_categorical_model",
    "load_linear_model",
    "evaluate_linear_model",
    "load_categorical_model",
    "evaluate_categorical_model",
]

# Not attributes of the module at run time: reach them through type() of a returned object.
# None of them can be constructed or subclassed.
@final
class LinearModel: ...

@final
class CategoricalModel: ...

@final
class DynamicOptimizer: ...

_Index = SupportsIndex
_Real = SupportsFloat | SupportsIndex

def create_linear_model(output_type: str, save_best_params: str) -> LinearModel: ...
def create_categorical_model(output_type: str, save_best_params: str) -> CategoricalModel: ...
def add_linear_model_layer(
    model: LinearModel,
    n_inputs: _Index | None = None,
    n_neurons: _Index | None = None,
    layer_type: str | None = None,
    activation_type: str | None = None,
    dropout_rate: _Real | None = None,
) -> LinearModel: ...
def add_categorical_model_layer(
    model: CategoricalModel,
    n_inputs: _Index | None = None,
    n_neurons: _Index | None = None,
    layer_type: str | None = None,
    activation_type: str | None = None,
    dropout_rate: _Real | None = None,
) -> CategoricalModel: ...
def create_optimizer(opt_type: str, learning_rate: _Real, decay: _Real) -> DynamicOptimizer: ...
def train_linear_model(
    model: LinearModel,
    opt: DynamicOptimizer,
    num_epochs: _Index,
    print_freq: _Index,
    x: npt.NDArray[np.float32],
    y: npt.NDArray[np.float32],
    val_x: npt.NDArray[np.float32],
    val_y: npt.NDArray[np.float32],
) -> None: ...
def train_categorical_model(
    model: CategoricalModel,
    opt: DynamicOptimizer,
    num_epochs: _Index,
    print_freq: _Index,
    x: npt.NDArray[np.float32],
    y: npt.NDArray[np.int32],
    val_x: npt.NDArray[np.float32],
    val_y: npt.NDArray[np.int32],
) -> None: ...
def load_linear_model(save_best_params: str) -> LinearModel: ...
def evaluate_linear_model(
    model: LinearModel, val_x: npt.NDArray[np.float32], val_y: npt.NDArray[np.float32]
) -> None: ...
def load_categorical_model(save_best_params: str) -> CategoricalModel: ...
def evaluate_categorical_model(
    model: CategoricalModel, val_x: npt.NDArray[np.float32], val_y: npt.NDArray[np.int32]
) -> None: ...
