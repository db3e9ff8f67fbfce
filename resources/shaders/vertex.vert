#version 100

attribute mediump vec2 position;
varying mediump vec2 texcoord;

void main()
{
    texcoord = position * vec2(0.5, -0.5) + vec2(0.5);
    gl_Position = vec4(position.x, position.y, 0.0, 1.0);
}
