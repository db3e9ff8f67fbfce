#version 100

uniform sampler2D texture0;
varying mediump vec2 texcoord;

void main()
{
    gl_FragColor = texture2D(texture0, texcoord);
}
